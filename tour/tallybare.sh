# shellcheck shell=bash
# tallybare: the same additions with no guard.

# The total, as the question says it: nearer one worker's 300 or all
# five's 1500.
nearer() { # TOTAL
  [[ $1 =~ ^[0-9]+$ ]] || return 0
  if (($1 < 900)); then echo 300; else echo 1500; fi
}

tour_tallybare() {
  local output total
  heading "tallybare 300: no guard; updates are lost, the total falls short of 1500"
  # A run that refuses to start, or fails, is shown as it is; the tour goes on.
  not_mine shm $counter "the counter" "zeroes it and counts in it"
  ask 300,1500 "Each of the five workers adds 1 to the counter 300 times: it" \
    "reads the counter, sleeps up to 100 microseconds, then stores what it read" \
    "plus one; all five draw the same sleeps. Will \"padre total=\" come nearer" \
    "to 300 (one worker's additions) or to 1500 (all five's)?"
  output=$("$bin/tallybare" 300) || true
  if [[ -n $output ]]; then printf '%s\n' "$output"; fi
  total=$(awk '/^padre total= / { print $3 }' <<<"$output")
  judge "$(nearer "$total")"
  if [[ $total == 1500 ]]; then
    notice "0 of the 1500 additions were lost this time: no worker's read came" \
      "between another's read and store, though nothing kept it from doing so"
  elif [[ $total =~ ^[0-9]+$ ]]; then
    notice "$((1500 - total)) of the 1500 additions were lost: a worker that read" \
      "the counter before another's store wrote back an old value plus one"
  fi

  if tracing; then
    local args=(-e "trace=%ipc,clone" "$bin/tallybare" 2)
    traced "$work/t" -ff "${args[@]}"
    shown -ff -o t "${args[@]}"
    parent_and_children 'shmget(' worker workers
    notice "the same counter segment (key 0x68e is 1678) and check of its" \
      "attachments (IPC_STAT), and no semget or semop at all: nothing keeps a" \
      "worker from reading the counter while another is between its read and" \
      "its store"
  fi
}
