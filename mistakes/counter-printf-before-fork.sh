# shellcheck shell=bash
# counter-printf-before-fork: runs tallybare 300 into a pipe, where stdout
# is fully buffered, and counts the copies of the line printed most often.
# Sets piped (the output), copies, line (that line) and evidence; status 0
# when a line came more than once.
symptom_counter_printf_before_fork() {
  evidence=""
  piped=$(timeout --foreground -s KILL 20 "$changed/tallybare" 300 | head -c 65536 || true)
  read -r copies line < <(sed '/^$/d' <<<"$piped" | sort | uniq -c | sort -rn | head -n 1) || true
  copies=${copies:-0}
  ((copies > 1)) || return 1
  evidence="through a pipe (tallybare 300 | cat): \"$line\" $copies times"
}

# The exercise's checks (mistakes/judge.sh).
checks_counter_printf_before_fork() {
  check_symptom "through a pipe, every line of the parent's once" counter-printf-before-fork
  check_run "tallybare 1000 prints one total and ends with status 0" \
    status=0 'lines=1:^padre total= [0-9]+$' -- tallybare 1000
  check_counter_counts
  check_left "nothing left but the counter segment (key 0x0000068e)" 0x0000068e
}
