# shellcheck shell=bash
# gridflip-async-cancel: runs gridflip up to TRIES times, until a grid is
# torn: rows of 1 beside rows of 0, or a row of both. Sets try, out (the
# last run's output file) and evidence; status 0 when a grid was torn.
torn() { # FILE
  grep -q '^\[.*0.*\]$' "$1" && grep -q '^\[.*1.*\]$' "$1"
}
symptom_gridflip_async_cancel() { # TRIES
  local tries=$1
  evidence="" out=$work/out
  for ((try = 1; try <= tries; try++)); do
    timeout --foreground -s KILL 20 "$changed/gridflip" >"$out" 2>&1 || true
    if torn "$out"; then
      evidence="a torn grid on run $try of $tries: $(grep -c '^\[.*0.*\]$' "$out") row(s) with a 0, $(grep -c '^\[.*1.*\]$' "$out") with a 1"
      return 0
    fi
  done
  try=$tries
  return 1
}

# The exercise's checks (mistakes/judge.sh).
checks_gridflip_async_cancel() {
  check_symptom "a whole grid after the cancel, in each of 6 runs" gridflip-async-cancel 6
  check_run "\"Thread cancelled\" and a 10 by 10 grid of 0 or of 1, in each of 3 runs" \
    --runs 3 status=0 'lines=1:^Thread cancelled$' 'lines=1:^Matrix :$' \
    'lines=10:^\[([01],){9}[01]\]$' -- gridflip
  check_left "nothing left"
}
