# shellcheck shell=bash
# boardhost-busy-wait: runs boardhost, looks at it while it waits for its
# client, then runs boardguest. %CPU is the share of a core since the
# start: near 100 within a second for a loop that never sleeps on an idle
# machine, and as much as the others leave on a busy one. Sets program,
# look (ps of the server), host_out and guest_out (their outputs) and
# evidence; status 0 when the server ran (R) while it waited.
symptom_boardhost_busy_wait() {
  look="" evidence="" host_out=$work/host-out guest_out=$work/guest-out
  "$changed/boardhost" >"$host_out" 2>&1 &
  program=$!
  mailbox_attached() { [[ $(nattch "$mailbox") -ge 1 ]] 2>/dev/null; }
  busy_or_asleep() {
    (($(ps -o pcpu= -p "$program" | cut -d. -f1) >= 90)) ||
      [[ $(ps -o stat= -p "$program") == S* ]]
  }
  if wait_for 5 mailbox_attached; then
    # A second at most: on a busy machine the loop never gets to 90, and
    # each second more would take as much from the others.
    wait_for 1 busy_or_asleep || true
    look=$(ps -o pid,stat,pcpu,time,args -p "$program" || true)
  fi
  timeout --foreground -s KILL 20 "$changed/boardguest" >"$guest_out" 2>&1 || true
  finish_server "$program"
  [[ $(view_field "$look" "$program" 2) == R* ]] || return 1
  evidence="ps while it waits for its client (PID STAT %CPU TIME):"
  evidence+=" $(awk -v pid="$program" '$1 == pid' <<<"$look" | tr -s ' ')"
}

# The exercise's checks (mistakes/judge.sh).
checks_boardhost_busy_wait() {
  check_symptom "the server sleeps (S) while it waits for its client" boardhost-busy-wait
  check_mailbox_exchanged
  check_left "nothing left but the mailbox (key 0x0000162e)" 0x0000162e
}
