# shellcheck shell=bash
# stephost-no-reuseaddr: a whole conversation of stephost and stepguest,
# then stephost at once again, beside the old connection in TIME-WAIT.
# Sets status (the second stephost's, 137 when it bound and was ended),
# out (its output), look (ss -tan of port 7734) and evidence; status 0 when
# the second could not bind, 2 when the first never listened.
symptom_stephost_no_reuseaddr() {
  local program
  look="" evidence="" out=$work/out status=0
  "$changed/stephost" >/dev/null 2>&1 &
  program=$!
  if ! wait_for 5 port_listening; then
    finish_server "$program"
    evidence="the first stephost never listened on port 7734 (ss -tln)"
    return 2
  fi
  timeout --foreground -s KILL 20 "$changed/stepguest" >/dev/null 2>&1 || true
  finish_server "$program"
  # It fails at bind; should it bind, it would wait for a client for ever.
  "$changed/stephost" >"$out" 2>&1 &
  program=$!
  bound_or_ended() { port_listening || ended "$program"; }
  wait_for 5 bound_or_ended || true
  look=$(ss -tan '( sport = :7734 or dport = :7734 )')
  ended "$program" || kill -KILL "$program" 2>/dev/null || true
  wait "$program" 2>/dev/null || status=$? # no "Killed" report
  ((status != 137)) || return 1
  evidence="stephost run again: $(grep -m 1 '^bind: ' "$out" || head -n 1 "$out"), status $status; ss: $(
    awk '$1 == "TIME-WAIT"' <<<"$look" | head -n 1 | tr -s ' ')"
}

# The exercise's checks (mistakes/judge.sh).
checks_stephost_no_reuseaddr() {
  check_symptom "stephost binds port 7734 again beside the last connection's TIME-WAIT" \
    stephost-no-reuseaddr
  check_run "a whole conversation, B to X, both ending with status 0" \
    --server stephost status=0 server_status=0 'lines=23:^Char from server = [B-X]$' \
    'line=^Char from server = X$' 'server_line=^RC from bind = 0$' -- stepguest
  check_left "nothing left but the connection's end in TIME-WAIT"
}
