# shellcheck shell=bash
# tallybare: the same additions with no guard.

tour_tallybare() {
  local output total
  heading "tallybare 300: the same without a guard; updates are lost and the total falls short of 1500"
  # A run that refuses to start, or fails, is shown as it is; the tour goes on.
  output=$("$bin/tallybare" 300) || true
  if [[ -n $output ]]; then printf '%s\n' "$output"; fi
  total=$(awk '/^padre total= / { print $3 }' <<<"$output")
  if [[ $total =~ ^[0-9]+$ ]]; then
    notice "$((1500 - total)) of the 1500 additions were lost: a worker that read the counter before"
    notice "another's store wrote back an old value plus one"
  fi

  if tracing; then
    local args=(-f -e "trace=shmget,shmat,semget,semctl,semop,semtimedop" "$bin/tallybare" 2)
    traced "$work/trace" "${args[@]}"
    shown "${args[@]}"
    calls_from 'shmget(' "$work/trace" | first_worker "the same two calls" | view
    notice "the same counter segment (key 0x68e is 1678), and no semget or semop at all: nothing"
    notice "keeps a worker from reading the counter while another is between its read and its store"
  fi
}
