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

# The name ps's list gives the launcher's process: tubechain while it has
# not become more, more once it has (ps, its child, is listed as ps).
launcher_listed() { # FILE: tubechain's output
  awk '$NF == "tubechain" { name = "tubechain" }
    $NF == "more" && name == "" { name = "more" }
    END { print name }' "$1"
}

tour_tubechain() {
  heading "tubechain: ps writes into a pipe that more reads, as a shell pipeline does"
  ask tubechain,more,ps "The launcher forks a child that runs ps, then runs" \
    "more in its own process. ps lists the processes of this terminal: by" \
    "what name will it list the launcher's process?"
  # The launcher's own process becomes more, which a shell waits for; cat
  # reads the pipe until both have ended. With --ask, tee does, and keeps
  # the list for the verdict (ps then lists tee where cat was).
  if $asking; then
    "$bin/tubechain" | tee "$work/out"
    judge "$(launcher_listed "$work/out")"
  else
    "$bin/tubechain" | cat
  fi
  notice "the launcher became more and its child became ps; the pipe joined" \
    "ps's descriptor 1 to more's descriptor 0 for the few milliseconds ps" \
    "ran, too short to show here"
  local reader=cat
  if $asking; then reader=tee; fi
  notice "the other lines are the tour's own: its shells (bash: the lab's," \
    "tour.sh and its subshells, one of which notes Ctrl-Z and sleeps) and" \
    "$reader, which reads more's output, so that more does not page it"

  if tracing; then
    local args=(-e "trace=pipe2,clone,close,dup,execve" "$bin/tubechain") pids
    traced "$work/t" -ff "${args[@]}"
    shown -ff -o t "${args[@]}"
    mapfile -t pids < <(trace_pids "$work/t")
    ((${#pids[@]} == 2)) || return 0
    step "the launcher, which becomes more (t.${pids[0]}):"
    up_to_execve 'pipe2(' "$work/t.${pids[0]}" | view
    step "its child, which becomes ps (t.${pids[1]}):"
    up_to_execve '' "$work/t.${pids[1]}" | view
    local ends reader writer
    read -r -a ends <<<"$(pipe_ends "$work/t.${pids[0]}")"
    ((${#ends[@]} == 2)) || return 0
    reader=$(call_result "$work/t.${pids[0]}" "dup(${ends[0]})")
    writer=$(call_result "$work/t.${pids[1]}" "dup(${ends[1]})")
    if [[ $reader == 0 && $writer == 1 ]]; then
      notice "the launcher closed 0, so dup(${ends[0]}) returned 0, the lowest free" \
        "descriptor, and became /bin/more; its child closed 1, so dup(${ends[1]})" \
        "returned 1, and became /bin/ps: neither program knows of the pipe"
    else
      notice "dup returns the lowest free descriptor: the launcher's" \
        "dup(${ends[0]}) returned ${reader:-?} and its child's dup(${ends[1]})" \
        "${writer:-?}; they became /bin/more and /bin/ps, neither of which" \
        "knows of the pipe"
    fi
  fi
}
