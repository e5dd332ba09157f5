# shellcheck shell=bash
# spawnwait: five children sleep and exit; the parent waits in creation order.

# The view of the held parent waits for this: five zombies under it, or
# its end (a stop of the tour can end its waits early), or a stop of the
# tour since COUNT, whose continue lets the parent go on.
zombies_or_gone() { # PID COUNT
  children_in_state Z "$1" || ended "$1" || stopped_since "$2"
}

tour_spawnwait() {
  local program tracer held since args=(-T -e "trace=%process,clock_nanosleep" "$bin/spawnwait" 3)
  heading "spawnwait 3: five children sleep, exit with 3, and are waited for in order"
  "$bin/spawnwait" 3 &
  program=$!
  # The traced run takes its ten seconds beside the tour's own.
  if tracing; then
    traced_start "$work/t" -ff "${args[@]}"
  fi
  since=$(stops)
  # Each view is taken first, and shown only if no continue of the tour
  # (fg, bg), which continues the parent and its children too, came
  # before it was taken.
  if wait_for 5 children_in_state S $program && held=$(tree $program) &&
    ! stopped_since "$since"; then
    step "the five children asleep under their parent:"
    view <<<"$held"
    # Held, the parent cannot reap the children once they have exited.
    # It may have ended already, if a stop of the tour ended its waits.
    kill -STOP $program 2>/dev/null || true
    # Asked while the children sleep on: the view comes once they exit.
    ask state "The tour now holds the parent with SIGSTOP, so it cannot wait;" \
      "the children end their ten seconds' sleep and exit. What state will ps" \
      "show for the five children then?"
    if wait_for 15 zombies_or_gone $program "$since" && children_in_state Z $program &&
      held=$(tree $program) && ! stopped_since "$since"; then
      step "ten seconds later, the parent held with SIGSTOP:"
      view <<<"$held"
      # The first child's state: the rows under the parent's.
      judge "$(awk '/\\_ / { print substr($3, 1, 1); exit }' <<<"$held")"
      notice "the children have exited but stay as zombies (Z, <defunct>)," \
        "keeping their exit status, until the parent's waitpid reaps them; it" \
        "goes on now"
    else
      judge ""
    fi
    kill -CONT $program 2>/dev/null || true
  fi
  wait $program || true
  if stopped_in_part; then
    notice "the tour was stopped (Ctrl-Z) and continued in this part, and with it" \
      "spawnwait and its children: the children's stops and continues ended" \
      "the parent's waits early, as WUNTRACED and WCONTINUED ask, so" \
      "\"Child finished\" came before the children had exited"
    # Children whose parent's waits ended before they exited are left to
    # the lab's PID 1 (or a subreaper): they end within their ten seconds.
    wait_for 15 gone_from_group spawnwait || true
  fi

  if tracing; then
    local pids
    wait $tracer || true
    shown -ff -o t "${args[@]}"
    mapfile -t pids < <(trace_pids "$work/t")
    ((${#pids[@]} == 6)) || return 0
    parent_and_children 'clone(' child children
    if stopped_in_part; then
      notice "fork is a clone with SIGCHLD as its exit signal; -T puts the time" \
        "each call took at its end, and the stop of the tour counts in them"
      if grep -Eq 'WIFSTOPPED|WIFCONTINUED' "$work/t.${pids[0]}"; then
        notice "the stop stopped the traced children too, and the parent's wait4" \
          "calls that show WIFSTOPPED or WIFCONTINUED ended at a child's stop or" \
          "continue, not at its exit"
      else
        notice "the parent's wait4 calls here saw only the children's exits, not" \
          "their stops"
      fi
      return 0
    fi
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
