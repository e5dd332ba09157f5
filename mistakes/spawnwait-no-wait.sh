# shellcheck shell=bash
# spawnwait-no-wait: runs spawnwait 3 and, at each "Child finished" line,
# looks whether the child it waited for has ended. Sets program, status,
# out (its output file, stdout and stderr), early (the children still
# running at their line), look (the children left once it has ended, with
# their wchan) and evidence; status 0 when a child outlived its line.
symptom_spawnwait_no_wait() {
  local seen=0 lines child waited=() done=false
  early=() look="" evidence="" out=$work/out status=0
  "$changed/spawnwait" 3 >"$out" 2>&1 &
  program=$!
  # A child waited for is reaped by the time its line comes. Its children
  # sleep 10 s: a run that has not ended in 30 is ended.
  local until=$((SECONDS + 30))
  until $done; do
    ((SECONDS < until)) || kill -KILL "$program" 2>/dev/null || true
    ended "$program" && done=true
    # The lines first: each "Child finished" comes after its "Waiting"
    # line, which the later read then finds, however far the run has got.
    lines=$(grep -c '^Child finished' "$out" || true)
    mapfile -t waited < <(awk '/^Waiting in the father / { print $NF }' "$out")
    for (( ; seen < lines; seen++)); do
      child=${waited[seen]:-}
      if [[ -n $child ]] && ! ended "$child"; then early+=("$child"); fi
    done
    $done || nap 0.05
  done
  wait "$program" || status=$?
  # The orphans, in the run's process group still.
  adopted() { [[ $(in_group spawnwait | wc -l) == 5 ]]; }
  if ((${#early[@]})) && wait_for 5 adopted; then
    # shellcheck disable=SC2046 # a list of PIDs
    look=$(sleepers $(group_pids spawnwait))
  fi
  ((${#early[@]})) || return 1
  evidence="\"Child finished\" while child ${early[0]} still ran: $(
    ps -o pid=,ppid=,stat=,args= -p "${early[0]}" | tr -s ' ' || echo "(gone since)")"
}

# The exercise's checks (mistakes/judge.sh).
checks_spawnwait_no_wait() {
  check_symptom "each \"Child finished\" once that child has ended" spawnwait-no-wait
  check_run "spawnwait 3: five children, five waits, then \"father finished\", status 0" \
    --seconds 20 status=0 'lines=5:^Child PID is [0-9]+ and i is= [0-4] $' \
    'lines=5:^Waiting in the father [0-9]+ for child [0-9]+$' 'lines=5:^Child finished $' \
    'lines=1:^father finished $' -- spawnwait 3
  check_left "nothing left"
}
