# shellcheck shell=bash
# tubenote-pipe-after-fork: runs tubenote into a pipe and waits for its
# child, which reads the parent's greeting. Sets status (the parent's),
# out (stdout and stderr of both) and evidence; status 0 when the parent
# was killed by SIGPIPE or the child read nothing, or still waits to read
# after 5 s.
symptom_tubenote_pipe_after_fork() {
  evidence="" out=$work/out status=0
  timeout --foreground -s KILL 20 "$changed/tubenote" >"$out" 2>&1 || status=$?
  # The child may still be reading: a zombie's parent is gone, so it is
  # in the run's group, not its tree.
  wait_for 5 gone_from_group tubenote || true
  if ((status == 128 + $(kill -l PIPE))); then
    evidence="tubenote ended with status $status: killed by SIGPIPE"
  elif ! gone_from_group tubenote; then
    evidence="the child still waits to read 5 s later: $(ps -o pid=,stat=,wchan:20=,args= -p "$(group_pids tubenote | head -n 1)" | tr -s ' ')"
  elif ! grep -q '^child read Greetings$' "$out"; then
    evidence="the child did not read the greeting: $(grep '^child read' "$out" || echo "no \"child read\" line")"
  else
    return 1
  fi
}

# The exercise's checks (mistakes/judge.sh).
checks_tubenote_pipe_after_fork() {
  check_symptom "the child reads the parent's greeting" tubenote-pipe-after-fork
  check_run "\"father wrote\" and \"child read Greetings\", status 0, in each of 3 runs" \
    --runs 3 status=0 'lines=1:^father wrote$' 'lines=1:^child read Greetings$' -- tubenote
  check_left "nothing left"
}
