# shellcheck shell=bash
# tubenote: a parent sends its child a greeting through a pipe.

tour_tubenote() {
  heading "tubenote: a parent sends \"Greetings\" to its child through a pipe"
  ask father,child "The parent writes the greeting into the pipe and prints" \
    "\"father wrote\"; the child reads it and prints \"child read\" and what it" \
    "read. The parent does not wait for its child: whose line will come first" \
    "here?"
  # The parent does not wait for its child; tee ends only when both have
  # closed the pipe, so the child's line comes before the next heading.
  "$bin/tubenote" | tee "$work/out"
  judge "$(awk '/^father / { print "father"; exit } /^child / { print "child"; exit }' "$work/out")"
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
    local parent=$work/t.${pids[0]} child=$work/t.${pids[1]} ends
    read -r -a ends <<<"$(pipe_ends "$parent")"
    ((${#ends[@]} == 2)) || return 0
    notice "pipe shows as pipe2, the call glibc's pipe makes, with no flags (0);" \
      "its read end, ${ends[0]}, and write end, ${ends[1]}, are the child's too" \
      "after the fork (clone)"
    if [[ $(call_result "$parent" "write(${ends[1]}, \"Greetings") == 10 &&
      $(call_result "$child" "read(${ends[0]}, ") == 10 ]]; then
      notice "each process closed the end it does not use, and the parent's one" \
        "write of 10 bytes (\\0 included) came whole to the child's read of up" \
        "to 25"
    else
      notice "each process closed the end it does not use; the parent writes 10" \
        "bytes (\\0 included) for the child's read of up to 25"
    fi
  fi
}
