# shellcheck shell=bash
# tallylock: five workers add to the counter under the guard semaphore.

counting() { # the five workers exist, each with its two attachments
  [[ $(ps -o pid= --ppid "$program" | wc -l) == 5 && $(nattch $counter) == 11 ]]
}
counting_or_ended() { counting || ended "$program"; }

tour_tallylock() {
  local program
  heading "tallylock 100000: five workers add under a semaphore; the total is exact"
  not_mine shm $counter "the counter" "zeroes it and counts in it"
  not_mine sem $guard "the semaphore set" "resets it and guards with it"
  start_tallylock "$bin/tallylock" 100000
  program=$started
  if wait_for 5 counting_or_ended && counting; then
    step "while the five workers count:"
    { tree $program; ipc_line -m $counter; ipc_line -s $guard; } | view
    notice "11 attachments on the 4-byte counter, not 6: the parent's own, the copy" \
      "each worker inherits through fork, and the one each worker makes itself" \
      "with shmat"
  fi
  # A run that refuses to start, or fails, is shown as it is; the tour goes on.
  local status=0
  wait $program || status=$?
  tallylock_ended
  step "after the run:"
  { ipc_line -m $counter; ipc_line -s $guard; } | view
  if ((status == 0)); then
    notice "the semaphore set is gone (the parent removed it); the segment stays," \
      "attached by no one"
  else
    notice "tallylock ended with status $status: its own lines above say why"
  fi

  if tracing; then
    local args=(-e "trace=%ipc,clone" "$bin/tallylock" 2)
    start_tallylock traced "$work/t" -ff "${args[@]}"
    wait $started || true
    tallylock_ended
    shown -ff -o t "${args[@]}"
    parent_and_children 'shmget(' worker workers
    notice "%ipc is strace's name for the System V calls; with IPC_STAT the parent" \
      "reads the segment's attachments, to refuse to run beside another count;" \
      "its clone calls are its forks, each returning a worker's PID, which ends" \
      "that worker's file name"
    notice "SETVAL shows its value, 0, as NULL (strace prints that argument as a" \
      "pointer), and the parent's semop of +1 then frees the guard; semop shows" \
      "as semtimedop, the call glibc's semop makes, with no timeout (NULL)"
    notice "a take is one atomic call of two operations: sem_op=-1, which sleeps" \
      "while the value is 0 and so keeps a second worker out, and a zero-check" \
      "(sem_op=0, IPC_NOWAIT), which fails at once only if someone raised the" \
      "set above 1; SEM_UNDO: the kernel reverses what a worker still owes the" \
      "set when it dies"
  fi
}
