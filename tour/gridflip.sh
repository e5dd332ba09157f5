# shellcheck shell=bash
# gridflip: a worker thread flips a grid until the main thread cancels it.

two_threads() { [[ $(ps -o nlwp= -p "$program") -eq 2 ]]; }

tour_gridflip() {
  local program
  heading "gridflip: a thread flips a grid until cancelled, at the end of a pass"
  # Its lines wait in a file, shown once it has ended (with --ask, after
  # the question too).
  "$bin/gridflip" >"$work/own" &
  program=$!
  if wait_for 1 two_threads; then
    local look states
    look=$(ps -L -o pid,lwp,stat,args -p $program || true)
    ask state "main has made a worker thread that flips the grid with no pause," \
      "and sleeps for a second. What state will ps show for the worker, the" \
      "thread whose LWP is not the PID?"
    step "while the worker flips the grid:"
    print_view "$look"
    judge "$(awk 'NR > 1 && $1 != $2 { print substr($3, 1, 1); exit }' <<<"$look")"
    # The threads' states, in ps's order: main's first.
    states=$(awk 'NR > 1 { printf "%s", substr($3, 1, 1) }' <<<"$look")
    if [[ $states == SR ]]; then
      notice "one process, two threads (LWP): main asleep for its second, the" \
        "worker flipping the grid"
    else
      notice "one process, two threads (LWP) when both are there; expect main" \
        "asleep for its second (S) and the worker flipping the grid (R)"
    fi
  fi
  wait $program
  cat "$work/own"
  if grep -q '^\[.*0.*\]$' "$work/own" && grep -q '^\[.*1.*\]$' "$work/own"; then
    notice "a torn grid, rows of 0 beside rows of 1: the cancel came in the" \
      "middle of a pass"
  elif grep -q '^\[' "$work/own"; then
    notice "a whole grid, all 0 or all 1: the cancel took effect at the" \
      "worker's pthread_testcancel, between two passes, never in one"
  fi

  if tracing; then
    local args=(-e "trace=%process,futex,clock_nanosleep" "$bin/gridflip") tids
    traced "$work/t" -ff "${args[@]}"
    shown -ff -o t "${args[@]}"
    mapfile -t tids < <(trace_pids "$work/t")
    ((${#tids[@]} == 2)) || return 0
    process_calls "the main thread" "${tids[0]}" 'clone3('
    process_calls "the worker thread" "${tids[1]}" ""
    notice "a thread is a clone3 that shares memory and process (CLONE_VM," \
      "CLONE_THREAD); it returns the worker's thread id, its file's number"
    if grep -q '^tgkill(' "$work/t.${tids[0]}"; then
      notice "after its second's sleep, main's pthread_cancel sent the worker a" \
        "signal (tgkill), yet the worker ends only at its next" \
        "pthread_testcancel, after a whole pass"
    else
      notice "after its second's sleep, main's pthread_cancel sent nothing (no" \
        "tgkill): the busy worker sees the request at its next" \
        "pthread_testcancel, after a whole pass"
    fi
    notice "pthread_join is the FUTEX_WAIT on child_tid's word, which holds the" \
      "worker's id until the kernel clears it and wakes the waiter as the" \
      "thread exits (CLONE_CHILD_CLEARTID)"
    if grep -q 'FUTEX_WAKE_PRIVATE' "$work/t.${tids[1]}"; then
      notice "the worker's FUTEX_WAKE_PRIVATE is not the cancel: unwinding its" \
        "stack to end, it ran a one-time setup in libgcc_s's unwinder, which" \
        "pthread_cancel loaded, and such a setup ends by waking any thread" \
        "waiting for it (none here: = 0)"
    fi
  fi
}
