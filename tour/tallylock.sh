# shellcheck shell=bash
# tallylock: five workers add to the counter under the guard semaphore.

# The five workers exist, each with its two attachments. On a busy machine
# a worker may get a core to itself and add its share in a few time slices,
# so that this lasts a fraction of a second: looked for --often.
counting() {
  local children attachments
  children_of "$program"
  ((${#children[@]} == 5)) && attachments_of $counter && ((attachments == 11))
}
counting_or_ended() { counting || ended "$program"; }

# What the view after a run that ended well shows of the guard set: gone,
# or there still, as a set of another user's, which the parent's IPC_RMID
# may not remove (it does not test the call's result), or as a new one.
guard_after() { # VIEW
  local id uid cuid me login
  id=$(view_field "$1" $guard 2)
  if [[ -z $id ]]; then
    echo "the semaphore set is gone (the parent removed it)"
    return
  fi
  read -r uid cuid <<<"$(sysv_fields sem semid "$id" uid cuid)"
  me=$(id -u)
  if [[ -n $uid && $me != 0 && $uid != "$me" && $cuid != "$me" ]]; then
    login=$(login_of "$uid")
    echo "the semaphore set is still there, $login's: the parent's IPC_RMID" \
      "failed with EPERM, as only the set's owner, its creator or root may" \
      "remove it (man 2 semctl); $login can, with ipcrm -s $id or the" \
      "project's ./cleanup.sh (which removes its user's own objects, and" \
      "anyone's run by root)"
  elif [[ -z $uid ]]; then
    echo "the semaphore set shown (id $id) was gone a moment later"
  else
    echo "a semaphore set with key 1234 is there again (id $id): a run started" \
      "since this one removed its own made it"
  fi
}
# The same of the counter segment: it stays, attached by no one once the
# run has ended, unless another run has attached it since.
counter_after() { # VIEW
  local attachments
  attachments=$(view_field "$1" $counter 6)
  if [[ -z $attachments ]]; then
    echo "the counter segment is gone: someone removed it since the run"
  elif ((attachments == 0)); then
    echo "the segment stays, attached by no one"
  else
    echo "the segment stays, $(attached "$attachments"): another run's"
  fi
}

tour_tallylock() {
  local program
  heading "tallylock 50000: five workers add under a semaphore; the total is exact"
  not_mine shm $counter "the counter" "zeroes it and counts in it"
  not_mine sem $guard "the semaphore set" "resets it and guards with it"
  own_held start_tallylock "$bin/tallylock" 50000
  program=$started
  local seen=false
  if wait_for --often 5 counting_or_ended && counting; then
    local look attachments
    seen=true
    look=$({ tree $program; ipc_line -m $counter; ipc_line -s $guard; })
    ask number "The parent has attached the counter segment, then forked five" \
      "workers, each of which attaches it too. While the five count, how many" \
      "attachments (nattch) will ipcs show on the counter?"
    step "while the five workers count:"
    print_view "$look"
    attachments=$(view_field "$look" $counter 6)
    judge "$attachments"
    if [[ $attachments == 11 ]]; then
      notice "11 attachments on the 4-byte counter, not 6: the parent's own, the copy" \
        "each worker inherits through fork, and the one each worker makes itself" \
        "with shmat"
    else
      notice "${attachments:-no} attachments on the counter in this look, as workers" \
        "came or went; while all five count there are 11, not 6: the parent's" \
        "own, the copy each worker inherits through fork, and the one each" \
        "worker makes itself with shmat"
    fi
  fi
  # A run that refuses to start, or fails, is shown as it is; the tour goes on.
  local status=0
  wait $program || status=$?
  tallylock_ended
  own_shown
  if ! $seen && ((status == 0)); then
    notice "the run ended before the tour saw its five workers count at once: on" \
      "a busy machine a worker may get a core to itself and add its share in a" \
      "few time slices; run it again"
  fi
  local after
  after=$({ ipc_line -m $counter; ipc_line -s $guard; })
  ask number "The run has ended, and all six processes with it. How many" \
    "attachments will the counter segment have now?"
  step "after the run:"
  print_view "$after"
  judge "$(view_field "$after" $counter 6)"
  if ((status == 0)); then
    notice "$(guard_after "$after"); $(counter_after "$after")"
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
    local setval="SETVAL sets the guard to 0" semop=""
    if grep -qs 'SETVAL, NULL' "$work"/t.*; then
      setval="SETVAL shows its value, 0, as NULL (strace prints that argument as a pointer)"
    fi
    if grep -qs '^semtimedop(' "$work"/t.*; then
      semop="; semop shows as semtimedop, the call glibc's semop makes, with no timeout (NULL)"
    fi
    notice "$setval, and the parent's semop of +1 then frees the guard$semop"
    notice "a take is one atomic call of two operations: sem_op=-1, which sleeps" \
      "while the value is 0 and so keeps a second worker out, and a zero-check" \
      "(sem_op=0, IPC_NOWAIT), which fails at once only if someone raised the" \
      "set above 1; SEM_UNDO: the kernel reverses what a worker still owes the" \
      "set when it dies"
  fi
}
