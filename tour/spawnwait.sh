# shellcheck shell=bash
# spawnwait: five children sleep and exit; the parent waits in creation order.

# strace -f's lines of spawnwait: the parent's, and each child's
# exit_group(3). The parent's waits that a child's SIGCHLD cut short
# (strace stops the parent for each signal; ERESTARTSYS), and that the
# kernel restarted, are counted in one line.
spawnwait_calls() {
  awk '
    NR == 1 { parent = $1 }
    { line[NR] = $0 }
    $1 == parent && /<unfinished \.\.\.>$/ { open = NR }
    $1 == parent && /ERESTARTSYS/ { drop[open]; drop[NR]; restarts++ }
    END {
      for (i = 1; i <= NR; i++) {
        $0 = line[i]
        if (i in drop) {
          if (!told++) print "... " restarts " waits cut short by SIGCHLD under strace (ERESTARTSYS) and restarted ..."
        } else if ($1 == parent || /exit_group\(3/) print
      }
    }'
}

tour_spawnwait() {
  local program tracer args=(-f -e "trace=clone,wait4,exit_group" "$bin/spawnwait" 3)
  heading "spawnwait 3: five children sleep ten seconds and exit with 3; the parent waits in creation order"
  "$bin/spawnwait" 3 &
  program=$!
  # The traced run takes its ten seconds beside the tour's own.
  if tracing; then
    traced_start "$work/spawnwait" "${args[@]}"
  fi
  if wait_for 5 children_in_state S $program; then
    step "the five children asleep under their parent:"
    tree $program | view
    # Held, the parent cannot reap the children once they have exited.
    kill -STOP $program
    if wait_for 15 children_in_state Z $program; then
      step "ten seconds later, the parent held with SIGSTOP:"
      tree $program | view
      notice "the children have exited but stay as zombies (Z, <defunct>), keeping their exit"
      notice "status, until the parent's waitpid reaps them; it goes on now"
    fi
    kill -CONT $program
  fi
  wait $program

  if tracing; then
    wait $tracer || true
    shown "${args[@]}"
    calls_from 'clone(' "$work/spawnwait" | spawnwait_calls | view
    notice "fork is a clone with SIGCHLD as exit signal; each child ends with exit_group(3), and the parent waits"
    notice "(wait4) for each in creation order: the first wait takes the ten seconds, the other four return at once"
  fi
}
