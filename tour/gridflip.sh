# shellcheck shell=bash
# gridflip: a worker thread flips a grid until the main thread cancels it.

two_threads() { [[ $(ps -o nlwp= -p "$program") -eq 2 ]]; }

tour_gridflip() {
  local program
  heading "gridflip: a thread flips a grid until cancelled; cancellation waits for a whole pass"
  "$bin/gridflip" &
  program=$!
  if wait_for 1 two_threads; then
    step "while the worker flips the grid:"
    { ps -L -o pid,lwp,stat,args -p $program || true; } | view
    notice "one process, two threads (LWP): main asleep for its second, the worker flipping the grid"
  fi
  wait $program

  if tracing; then
    local args=(-f -e "trace=clone3,clock_nanosleep,rt_sigaction,tgkill,futex,exit,exit_group" "$bin/gridflip")
    traced "$work/trace" "${args[@]}"
    shown "${args[@]}"
    calls_from 'clone3(' "$work/trace" | view
    notice "a thread is a clone sharing memory and process (CLONE_VM, CLONE_THREAD); main sleeps, then joins: a futex"
    if grep -q 'tgkill(' "$work/trace"; then
      notice "wait that the worker's exit ends; pthread_cancel sent the worker a signal (tgkill), yet the worker"
      notice "ends only at its next pthread_testcancel, after a whole pass"
    else
      notice "wait that the worker's exit ends; pthread_cancel only set up SIGRTMIN's handler and sent nothing (no"
      notice "tgkill): the busy worker sees the request at its next pthread_testcancel, after a whole pass"
    fi
  fi
}
