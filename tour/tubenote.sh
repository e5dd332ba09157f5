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
    local args=(-e "trace=pipe2,clone,close,read,write" "$bin/tubenote") pids
    traced "$work/t" -ff "${args[@]}"
    wait_for 5 gone_from_group tubenote || true
    shown -ff -o t "${args[@]}"
    mapfile -t pids < <(trace_pids "$work/t")
    ((${#pids[@]} == 2)) || return 0
    process_calls "the parent" "${pids[0]}" 'pipe2('
    process_calls "the child" "${pids[1]}" ""
    notice "pipe shows as pipe2, the call glibc's pipe makes, with no flags (0);" \
      "its read end, 3, and write end, 4, are the child's too after the fork" \
      "(clone)"
    notice "each process closed the end it does not use, and the parent's one" \
      "write of 10 bytes (\\0 included) came whole to the child's read of up" \
      "to 25"
  fi
}
