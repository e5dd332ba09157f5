# shellcheck shell=bash
# spawnwait: five children sleep and exit; the parent waits in creation order.

tour_spawnwait() {
  local program tracer args=(-T -e "trace=%process,clock_nanosleep" "$bin/spawnwait" 3)
  heading "spawnwait 3: five children sleep, exit with 3, and are waited for in order"
  "$bin/spawnwait" 3 &
  program=$!
  # The traced run takes its ten seconds beside the tour's own.
  if tracing; then
    traced_start "$work/t" -ff "${args[@]}"
  fi
  if wait_for 5 children_in_state S $program; then
    step "the five children asleep under their parent:"
    tree $program | view
    # Held, the parent cannot reap the children once they have exited.
    kill -STOP $program
    if wait_for 15 children_in_state Z $program; then
      local look
      look=$(tree $program)
      step "ten seconds later, the parent held with SIGSTOP:"
      print_view "$look"
      if (($(view_rows "$look" '^ *[0-9]+ +[0-9]+ +Z') == 5)); then
        notice "the children have exited but stay as zombies (Z, <defunct>)," \
          "keeping their exit status, until the parent's waitpid reaps them; it" \
          "goes on now"
      else
        notice "expect the children, once exited, to stay as zombies (Z," \
          "<defunct>), keeping their exit status, until the parent's waitpid" \
          "reaps them; it goes on now"
      fi
    fi
    kill -CONT $program
  fi
  wait $program

  if tracing; then
    local pids
    wait $tracer || true
    shown -ff -o t "${args[@]}"
    mapfile -t pids < <(trace_pids "$work/t")
    ((${#pids[@]} == 6)) || return 0
    parent_and_children 'clone(' child children
    notice "fork is a clone with SIGCHLD as its exit signal; -T puts the time" \
      "each call took at its end: each child sleeps its ten seconds and ends" \
      "with exit_group(3), and the parent's wait4 for child 1 takes those ten" \
      "seconds, the waits for the others next to none"
    if grep -q ERESTARTSYS "$work/t.${pids[0]}"; then
      notice "a wait4 that ends in ERESTARTSYS was cut short when strace stopped" \
        "the parent for a child's SIGCHLD; the kernel restarts it at once, and" \
        "without strace it is not cut"
    fi
  fi
}
