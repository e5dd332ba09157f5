# shellcheck shell=bash
# tubenote: a parent sends its child a greeting through a pipe.

tour_tubenote() {
  heading "tubenote: a parent sends \"Greetings\" to its child through a pipe"
  # The parent does not wait for its child; cat ends only when both have
  # closed the pipe, so the child's line comes before the next heading.
  "$bin/tubenote" | cat
  # The child, an orphan by then, may still be exiting: let it go before
  # the next program, whose ps list would show it.
  wait_for 5 gone_from_group tubenote || true

  if tracing; then
    local args=(-f -e "trace=pipe2,clone,close,read,write" "$bin/tubenote")
    traced "$work/trace" "${args[@]}"
    wait_for 5 gone_from_group tubenote || true
    shown "${args[@]}"
    calls_from 'pipe2(' "$work/trace" | view
    notice "pipe2 gave both processes descriptors 3 (read end) and 4 (write end); each closed the end it"
    notice "does not use, and the parent's one write of 10 bytes (\\0 included) came whole to the child's read"
  fi
}
