# shellcheck shell=bash
# stephost and stepguest: a one-byte TCP exchange on port 7734.

port_listening() { [[ -n $(ss -Htln 'sport = :7734') ]]; }
time_wait() { [[ -n $(ss -Htan state time-wait 'sport = :7734') ]]; }
listening_or_ended() { port_listening || ended "$tracer"; }

tour_stephost() {
  local program
  heading "stephost / stepguest: a TCP server answers each byte with the next one"
  if port_listening; then
    notice "port 7734 is already in use; skipping this pair"
    return 0
  fi
  # Unattended, both programs print when they end, at nearly the same
  # moment: keep the server's lines apart and show them after the client's.
  "$bin/stephost" >"$work/server_out" &
  program=$!
  wait_for 5 port_listening || return 0
  local look
  look=$(ss -tln 'sport = :7734')
  step "the server waits in accept:"
  print_view "$look"
  # For a listening socket ss shows the queue's length as Send-Q.
  if [[ $(view_field "$look" LISTEN 3) == 5 ]]; then
    notice "port 7734 in LISTEN: the kernel completes connections by itself and" \
      "queues up to 5"
  else
    notice "no socket in LISTEN on port 7734 with a queue of 5 in this look;" \
      "stephost's listen(3, 5) makes one, where the kernel completes" \
      "connections by itself"
  fi
  ask number "The client sends \"A\", and sends back each reply while it is at" \
    "most \"X\"; the server answers each byte with the next letter. How many" \
    "\"Char from server\" lines will the client print?"
  # With --ask, its lines are kept for the verdict too.
  if $asking; then
    "$bin/stepguest" | tee "$work/guest_out" || true
    judge "$(grep -c '^Char from server = ' "$work/guest_out" || true)"
  else
    "$bin/stepguest" || true
  fi
  finish_server $program
  step "stephost's side:"
  cat "$work/server_out"
  if wait_for 5 time_wait; then
    look=$(ss -tan '( sport = :7734 or dport = :7734 )')
    ask LISTEN,ESTAB,TIME-WAIT,CLOSE-WAIT "The server closed its end of the" \
      "connection after \"X\", and then the client its own. What state will ss" \
      "show for the server's end, on port 7734?"
    step "after the exchange:"
    print_view "$look"
    # The server's end: local port 7734.
    judge "$(awk '$4 ~ /:7734$/ { print $1; exit }' <<<"$look")"
    if (($(view_rows "$look" '^TIME-WAIT +[0-9]+ +[0-9]+ +[^ ]*:7734 ') > 0)); then
      notice "the server closed first, after X, so its end of the connection waits" \
        "in TIME-WAIT for a minute; SO_REUSEADDR lets the next stephost bind the" \
        "port meanwhile"
    else
      notice "the server closed first, after X, so expect its end of the" \
        "connection in TIME-WAIT for a minute (gone here); SO_REUSEADDR lets" \
        "the next stephost bind the port meanwhile"
    fi
  fi

  if tracing; then
    local tracer
    local host=(-e "trace=%network,read,close" "$bin/stephost")
    local guest=(-e "trace=%network,read,close" "$bin/stepguest")
    traced_start "$work/host" "${host[@]}"
    if wait_for 5 listening_or_ended && port_listening; then
      traced "$work/guest" "${guest[@]}"
    fi
    finish_traced_server
    shown -o host "${host[@]}"
    calls_from 'socket(' "$work/host" | elide 7 2 "one-byte reads and sends" | view
    local socket taken
    socket=$(call_result "$work/host" "socket(")
    taken=$(call_result "$work/host" "accept(${socket:-3}, ")
    notice "%network is strace's name for the socket calls; bind names the port," \
      "7734, in network byte order (htons); listen(${socket:-3}, 5) makes the socket wait" \
      "for connections, 5 at most in its queue; accept returns a new" \
      "descriptor${taken:+, $taken,} for the one it takes"
    notice "send shows as sendto, the call glibc's send makes, with no address" \
      "(NULL, 0); MSG_NOSIGNAL: a send to a closed connection fails with EPIPE" \
      "instead of killing the program with SIGPIPE"
    shown -o guest "${guest[@]}"
    calls_from 'socket(' "$work/guest" | elide 4 3 "one-byte sends and reads" | view
    notice "the client needs only socket and connect; the read that returns 0 is" \
      "the server's close"
  fi
}
