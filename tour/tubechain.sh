# shellcheck shell=bash
# tubechain: ps writes into a pipe that more reads.

# One process's lines of a trace, from its first line that contains START
# (all of them if START is empty) up to and with its execve: what ps and
# more do afterwards is theirs.
up_to_execve() { # START FILE
  awk -v start="$1" '
    start == "" || index($0, start) { on = 1 }
    on && !/^(---|\+\+\+) / { print }
    on && /^execve\(/ { exit }' "$2"
}

tour_tubechain() {
  heading "tubechain: ps writes into a pipe that more reads, as a shell pipeline does"
  # The launcher's own process becomes more, which a shell waits for; cat
  # reads the pipe until both have ended.
  "$bin/tubechain" | cat
  notice "the launcher became more and its child became ps; the pipe joined ps's descriptor 1"
  notice "to more's descriptor 0 for the few milliseconds ps ran, too short to show here"

  if tracing; then
    # One file per process (-ff -o chain gives chain.PID): each process's
    # calls stay together, none split by the other's.
    local args=(-e "trace=pipe2,clone,close,dup,execve" "$bin/tubechain") file pid
    strace -ff -o "$work/chain" "${args[@]}" >/dev/null 2>&1 </dev/null || true
    shown -ff -o chain "${args[@]}"
    for file in "$work"/chain.*; do
      pid=${file##*.}
      if grep -q '^pipe2(' "$file"; then
        step "the launcher, which becomes more (chain.$pid):"
        up_to_execve 'pipe2(' "$file" | view
      fi
    done
    for file in "$work"/chain.*; do
      pid=${file##*.}
      if ! grep -q '^pipe2(' "$file"; then
        step "its child, which becomes ps (chain.$pid):"
        up_to_execve '' "$file" | view
      fi
    done
    notice "the launcher closed 0, so dup(3) returned 0, the lowest free descriptor, and became /bin/more;"
    notice "its child closed 1, so dup(4) returned 1, and became /bin/ps: neither program knows of the pipe"
  fi
}
