# shellcheck shell=bash
# tubechain: ps writes into a pipe that more reads.

# strace -f's lines of tubechain: each process's calls up to and with its
# execve; what ps and more do afterwards is theirs.
up_to_execve() {
  awk '
    $1 in started { next }
    { print }
    /execve/ && !/<unfinished \.\.\.>$/ { started[$1] }'
}

tour_tubechain() {
  heading "tubechain: ps writes into a pipe that more reads, as a shell pipeline does"
  # more outlives ps, which the shell waits for; cat waits for both.
  "$bin/tubechain" | cat
  notice "the launcher became ps and its child became more; the pipe joined ps's descriptor 1"
  notice "to more's descriptor 0 for the few milliseconds ps ran, too short to show here"

  if tracing; then
    local args=(-f -e "trace=pipe2,clone,close,dup,execve" "$bin/tubechain")
    traced "$work/trace" "${args[@]}"
    shown "${args[@]}"
    calls_from 'pipe2(' "$work/trace" | up_to_execve | view
    notice "the launcher closed 1, so dup(4) returned 1, the lowest free descriptor, and became /bin/ps;"
    notice "its child closed 0, so dup(3) returned 0, and became /bin/more: neither program knows of the pipe"
  fi
}
