# shellcheck shell=bash
# boardhost-removes-at-once: runs boardhost, looks at the segments while it
# polls, then runs boardguest. Sets program, look (ipcs -m), status (the
# guest's), guest_out and evidence; status 0 when the mailbox had lost its
# key (0x00000000, dest) or the client could not find it.
dest_segment() { [[ -n $(ipcs -m | awk '/ dest *$/') ]]; }
symptom_boardhost_removes_at_once() {
  look="" evidence="" guest_out=$work/guest-out status=0
  "$changed/boardhost" >/dev/null 2>&1 &
  program=$!
  polling() { dest_segment || [[ $(nattch "$mailbox") -ge 1 ]] 2>/dev/null; }
  if wait_for 5 polling; then
    look=$(ipcs -m | sed '/^$/d')
  fi
  timeout --foreground -s KILL 20 "$changed/boardguest" >"$guest_out" 2>&1 || status=$?
  # A server whose client found no mailbox would wait for ever.
  if ((status != 0)); then
    kill -KILL "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true # no "Killed" report
  else
    finish_server "$program"
  fi
  if (($(view_rows "$look" '^0x00000000 .* dest *$') > 0)); then
    evidence="ipcs -m while the server polls: $(grep -m 1 ' dest *$' <<<"$look" | tr -s ' ')"
  elif ((status != 0)); then
    evidence="boardguest ended with status $status: $(head -n 1 "$guest_out")"
  else
    return 1
  fi
}

# The exercise's checks (mistakes/judge.sh).
checks_boardhost_removes_at_once() {
  check_symptom "the mailbox keeps its key while the server waits" boardhost-removes-at-once
  check_mailbox_exchanged
  check_left "nothing left but the mailbox (key 0x0000162e)" 0x0000162e
}
