# shellcheck shell=bash
# boardhost-no-volatile: runs boardhost with no client for two seconds; a
# server that waits is then given its client. Sets status, out (the
# server's output) and evidence; status 0 when it ended with no client.
symptom_boardhost_no_volatile() {
  local program
  evidence="" out=$work/out status=0
  "$changed/boardhost" >"$out" 2>&1 &
  program=$!
  if wait_for 2 ended "$program"; then
    wait "$program" || status=$?
    evidence="boardhost ended with no client, status $status: $(head -n 1 "$out")"
    return 0
  fi
  timeout --foreground -s KILL 20 "$changed/boardguest" >/dev/null 2>&1 || true
  finish_server "$program"
  return 1
}

# The exercise's checks (mistakes/judge.sh).
checks_boardhost_no_volatile() {
  check_symptom "the server waits for its client's mark" boardhost-no-volatile
  check_symptom "the server sleeps (S) while it waits for its client" boardhost-busy-wait
  check_mailbox_exchanged
  check_left "nothing left but the mailbox (key 0x0000162e)" 0x0000162e
}
