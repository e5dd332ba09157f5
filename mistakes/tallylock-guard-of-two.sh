# shellcheck shell=bash
# tallylock-guard-of-two: runs tallylock 100000 up to TRIES times, until
# additions are lost, and looks at the guard while the five count. One
# worker counts at a time under a sound guard while the other four sleep
# in their take (ncount 4, nearly all the time); a guard that lets two in
# never shows more than three asleep. Sets try, status, total (of the last
# try), out (its output file), counting_view (the guard in the first try),
# most (the most asleep at once) and evidence; status 0 when additions
# were lost or no look showed four asleep.
symptom_tallylock_guard_of_two() { # TRIES
  local tries=$1 fields asleep=0
  most=0 counting_view="" evidence="" out=$work/out
  for ((try = 1; try <= tries; try++)); do
    status=0
    start_tallylock "$changed/tallylock" 100000 >"$out"
    program=$started
    if wait_for --often 5 counting_or_ended && counting; then
      id=$(guard_id)
      if ((try == 1)); then
        counting_view=$({ ipcs -s -i "$id" || true; } | sed '/^$/d')
      fi
      # The guard's sleepers, looked at until the run ends (in 30 s), some
      # twenty times a second: a sound guard shows four asleep in most
      # looks, and looks back to back would take a core from the run.
      local until=$((SECONDS + 30))
      while ! ended "$program" && ((SECONDS < until)); do
        read -r -a fields <<<"$(guard_fields "$id")"
        asleep=${fields[1]:-0}
        ((asleep > most)) && most=$asleep
        ((most < 4)) || break
        nap 0.05
      done
    fi
    wait_for 30 ended "$program" || kill -KILL "$program" 2>/dev/null || true
    wait "$program" || status=$?
    tallylock_ended
    total=$(awk '/^padre total= / { print $3 }' "$out")
    [[ $total =~ ^[0-9]+$ ]] && ((total < 500000)) && break
  done
  ((try <= tries)) || try=$tries
  if [[ $total =~ ^[0-9]+$ ]] && ((total < 500000)); then
    evidence="padre total= $total, not 500000 (try $try of $tries)"
  elif ((most < 4)); then
    evidence="ipcs -s -i: at most $most workers asleep in their take (ncount) while the five counted, never 4, in $try run(s) of tallylock 100000"
  else
    return 1
  fi
}

# The exercise's checks (mistakes/judge.sh).
checks_tallylock_guard_of_two() {
  check_symptom "one worker at a time under the guard: four asleep in their take" \
    tallylock-guard-of-two 1
  check_run "tallylock 20000 counts to 100000 and ends with status 0, in each of 3 runs" \
    --runs 3 --seconds 30 status=0 'lines=1:^padre total= 100000$' -- tallylock 20000
  check_left "nothing left but the counter segment (key 0x0000068e)" 0x0000068e
}
