# shellcheck shell=bash
# counter-worker-returns: runs tallybare 3000 and counts its processes
# while it runs and its "padre total=" lines. Sets program, most (the most
# processes seen at once), look (ps --forest, once 16 were seen), out (the
# output file), lines and evidence; status 0 when more than one process
# printed a total or more than six ran at once.
symptom_counter_worker_returns() {
  local now rows
  most=0 look="" evidence="" out=$work/out
  "$changed/tallybare" 3000 >"$out" &
  program=$!
  # The tree grows as workers finish counting and fork on, and shrinks as
  # the last ones made end: shown once it holds 16 processes.
  many() {
    now=$(in_group tallybare | wc -l)
    ((now > most)) && most=$now
    ((now >= 16)) || ended "$program"
  }
  if wait_for 10 many && ! ended "$program"; then
    look=$(ps -o pid,ppid,stat,args --forest -p "$(group_pids tallybare | paste -sd,)" || true)
    rows=$(view_rows "$look" 'tallybare')
    ((rows > most)) && most=$rows
  fi
  wait_for 30 ended "$program" || kill -KILL "$program" 2>/dev/null || true
  wait "$program" || true
  wait_for 5 gone_from_group tallybare || true
  lines=$(grep -c '^padre total=' "$out" || true)
  if ((lines > 1)); then
    evidence="\"padre total=\" printed $lines times, by as many processes"
  elif ((most > 6)); then
    evidence="ps: $most tallybare processes at once, where the parent and its five workers are six"
  else
    return 1
  fi
}

# The exercise's checks (mistakes/judge.sh).
checks_counter_worker_returns() {
  check_symptom "the parent and its five workers, and one total" counter-worker-returns
  check_run "tallybare 1000 prints one total and ends with status 0" \
    status=0 'lines=1:^padre total= [0-9]+$' -- tallybare 1000
  check_counter_counts
  check_left "nothing left but the counter segment (key 0x0000068e)" 0x0000068e
}
