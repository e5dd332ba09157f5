# shellcheck shell=bash
# tallylock: five workers add to the counter under the guard semaphore.

counting() { # the five workers exist, each with its two attachments
  [[ $(ps -o pid= --ppid "$program" | wc -l) == 5 && $(nattch $counter) == 11 ]]
}
counting_or_ended() { counting || ended "$program"; }

tour_tallylock() {
  local program
  heading "tallylock 100000: five processes add to a shared counter under a semaphore; the total is exact"
  start_tallylock "$bin/tallylock" 100000
  program=$started
  if wait_for 5 counting_or_ended && counting; then
    step "while the five workers count:"
    { tree $program; ipc_line -m $counter; ipc_line -s $guard; } | view
    notice "11 attachments on the 4-byte counter, not 6: the parent's own, the copy each worker"
    notice "inherits through fork, and the one each worker makes itself with shmat"
  fi
  # A run that refuses to start, or fails, is shown as it is; the tour goes on.
  local status=0
  wait $program || status=$?
  tallylock_ended
  step "after the run:"
  { ipc_line -m $counter; ipc_line -s $guard; } | view
  if ((status == 0)); then
    notice "the semaphore set is gone (the parent removed it); the segment stays, attached by no one"
  else
    notice "tallylock ended with status $status: its own lines above say why"
  fi

  if tracing; then
    local args=(-f -e "trace=shmget,shmat,semget,semctl,semop,semtimedop" "$bin/tallylock" 2)
    start_tallylock traced "$work/trace" "${args[@]}"
    wait $started || true
    tallylock_ended
    shown "${args[@]}"
    calls_from 'shmget(' "$work/trace" | first_worker "the same calls" | view
    notice "semop shows as semtimedop (glibc's semop makes that call, with no timeout); a take is sem_op=-1"
    notice "and, in the same atomic call, a zero-check (sem_op=0 with IPC_NOWAIT) that fails instead of letting"
    notice "a second worker in; SEM_UNDO: the kernel reverses what a worker still owes the set when it dies"
  fi
}
