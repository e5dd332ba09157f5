# shellcheck shell=bash
# tallylock-no-undo: kills the worker that holds the guard, then looks at
# the other four: asleep in semop for ever (the fault), or counting on.
# Sets program, workers, holder, id, asleep (their ps view), look (the
# guard's ipcs -s -i view) and evidence. Status 0 when the four sleep, 1
# when they count on, 2 when no worker was caught holding the guard.
symptom_tallylock_no_undo() {
  local try fields
  holder="" asleep="" look="" evidence="" workers=()
  start_tallylock "$changed/tallylock" 1000000
  program=$started
  if wait_for --often 5 counting_or_ended && counting; then
    id=$(guard_id)
    # Caught with the five stopped, a guard at 0 names its holder: the
    # last process to change it is the worker whose take lowered it.
    for ((try = 0; try < 50; try++)); do
      [[ -z $holder ]] || break
      mapfile -t workers < <(ps -o pid= --ppid "$program" | tr -d ' ')
      kill -STOP "${workers[@]}" 2>/dev/null || true
      read -r -a fields <<<"$(guard_fields "$id")"
      if [[ ${fields[0]:-} == 0 && " ${workers[*]} " == *" ${fields[2]:-} "* ]]; then
        holder=${fields[2]}
      else
        kill -CONT "${workers[@]}" 2>/dev/null || true
        nap 0.05
      fi
    done
  fi
  local found=1
  if [[ -n $holder ]]; then
    kill -KILL "$holder" 2>/dev/null || true
    kill -CONT "${workers[@]}" 2>/dev/null || true
    # Given back by the kernel, the guard is taken by another worker,
    # which the set's pid then names.
    settled() {
      four_asleep "$id" || ended "$program" ||
        { read -r -a fields <<<"$(guard_fields "$id")" && [[ -n ${fields[2]:-} && ${fields[2]} != "$holder" ]]; }
    }
    wait_for 10 settled || true
    asleep=$(sleepers "$program")
    look=$({ ipcs -s -i "$id" || true; } | sed '/^$/d')
    if four_asleep "$id"; then
      found=0
      evidence="ipcs -s -i $id, semaphore 0 (semnum value ncount zcount pid):"
      evidence+=" $(awk '$1 == "0" && NF == 5' <<<"$look" | tr -s ' ')"
      evidence+="; the four sleep for ever"
    fi
  else
    found=2
    evidence="no worker was caught holding the guard (ipcs -s -i)"
  fi
  kill -KILL "$program" "${workers[@]}" 2>/dev/null || true
  wait "$program" 2>/dev/null || true
  remove_guard_left
  tallylock_ended
  return $found
}

# The exercise's checks (mistakes/judge.sh).
checks_tallylock_no_undo() {
  check_symptom "a worker killed while it holds the guard: the other four go on" \
    tallylock-no-undo
  check_counter_counts
  check_left "nothing left but the counter segment (key 0x0000068e)" 0x0000068e
}
