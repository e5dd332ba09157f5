# shellcheck shell=bash
# tubechain-reader-keeps-write-end: runs tubechain into a file and waits
# for more to end once ps has. Sets program, out, asleep (more and ps with
# their wchan), fds (more's descriptors below 10, as "FD -> TARGET") and
# evidence; status 0 when more sleeps in a pipe read with that pipe open
# on another of its descriptors too. The run is ended before it returns.
symptom_tubechain_reader_keeps_write_end() {
  local input found=1
  asleep="" fds="" evidence="" out=$work/out
  "$changed/tubechain" >"$out" 2>&1 &
  program=$!
  # more asleep in a pipe read, and ps, its child, ended (a zombie). The
  # output is read whole: grep -q could end ps with SIGPIPE under pipefail.
  # shellcheck disable=SC2009,SC2143
  more_waits() {
    [[ $(ps -o stat=,wchan= -p "$program") == S*pipe_read* ]] &&
      [[ -z $(ps -o stat= --ppid "$program" | grep -v Z) ]]
  }
  more_waits_or_ended() { more_waits || ended "$program"; }
  if wait_for 5 more_waits_or_ended && more_waits; then
    asleep=$(sleepers "$program")
    # Those below 10: what the caller's shell keeps above is not more's.
    fds=$({ ls -l "/proc/$program/fd" || true; } |
      awk '$(NF - 2) ~ /^[0-9]$/ { print $(NF - 2), $(NF - 1), $NF }')
  fi
  # The pipe that descriptor 0 reads, held by another descriptor too.
  input=$(view_field "$fds" 0 3)
  if [[ $input == pipe:* ]] && (($(view_rows "$fds" " -> ${input//[][]/.}\$") > 1)); then
    found=0
    evidence="more sleeps in pipe_read; ls -l /proc/$program/fd: $(grep -F -e "$input" <<<"$fds" | paste -sd, | sed 's/,/, /g')"
  elif ! wait_for 5 ended "$program"; then
    found=0
    evidence="tubechain has not ended 5 s later: $(ps -o pid=,stat=,wchan:20=,args= -p "$program" | tr -s ' ')"
  fi
  kill -KILL "$program" 2>/dev/null || true
  wait "$program" 2>/dev/null || true
  # Any more of this run that the kill missed, an orphan too.
  end_all more
  return $found
}

# The exercise's checks (mistakes/judge.sh).
checks_tubechain_reader_keeps_write_end() {
  check_symptom "more ends once ps has written the list" tubechain-reader-keeps-write-end
  check_run "the process list through more, then status 0" \
    status=0 'lines=1:^ *PID TTY +TIME CMD$' 'line=^ *[0-9]+ .* ps$' -- tubechain
  check_left "nothing left"
}
