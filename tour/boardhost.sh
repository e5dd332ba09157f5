# shellcheck shell=bash
# boardhost and boardguest: the alphabet exchanged in System V shared memory.

# The server has attached the mailbox and sleeps in its polling loop, the
# only place it blocks after attaching.
mailbox_ready() {
  [[ $(nattch $mailbox) -ge 1 && $(ps -o stat= -p "$program") == S* ]] 2>/dev/null
}
# The same for the server that strace runs as its child.
traced_mailbox_ready() {
  local server
  server=$(ps -o pid= --ppid "$tracer" || true)
  [[ -n $server && $(nattch $mailbox) -ge 1 && $(ps -o stat= -p $server) == S* ]] 2>/dev/null
}
traced_ready_or_ended() { traced_mailbox_ready || ended "$tracer"; }

tour_boardhost() {
  local program
  heading "boardhost / boardguest: the alphabet exchanged in shared memory"
  not_mine shm $mailbox "the mailbox" "writes the alphabet in it"
  "$bin/boardhost" &
  program=$!
  wait_for 5 mailbox_ready || return 0
  local look bytes attachments
  look=$(ipc_line -m $mailbox)
  ask number "boardhost has made the mailbox segment for the letters a to z" \
    "and the zero byte that ends them, and waits for the client's mark in its" \
    "first byte. What size in bytes will ipcs show for the mailbox?"
  step "the server polls the segment:"
  print_view "$look"
  bytes=$(view_field "$look" $mailbox 5)
  attachments=$(view_field "$look" $mailbox 6)
  judge "$bytes"
  if [[ -z $attachments ]]; then
    notice "no segment with key 5678 in this look: it was removed since" \
      "boardhost attached it"
  elif ((attachments == 1)); then
    notice "$bytes bytes, one attachment: boardhost, which reads byte 0 once a second"
  else
    notice "$bytes bytes, $attachments attachments: boardhost's, which reads byte" \
      "0 once a second, and those of other processes"
  fi
  "$bin/boardguest" || true
  finish_server $program
  look=$(ipc_line -m $mailbox)
  ask number "The client has read the alphabet and stored its \"*\", and both" \
    "programs have ended. How many attachments will ipcs show on the mailbox" \
    "now?"
  step "after the exchange:"
  print_view "$look"
  attachments=$(view_field "$look" $mailbox 6)
  judge "$attachments"
  if [[ -z $attachments ]]; then
    notice "the segment is gone: someone removed it after the exchange; a" \
      "second boardguest finds none:"
  else
    notice "the segment stays, $(attached "$attachments"), with \"*\" in byte 0;" \
      "a second boardguest shows it:"
  fi
  "$bin/boardguest" || true

  if tracing; then
    local tracer
    local host=(-e "trace=%ipc,clock_nanosleep" "$bin/boardhost")
    local guest=(-e "trace=%ipc" "$bin/boardguest")
    traced_start "$work/host" "${host[@]}"
    # The traced server sleeps in its loop once the alphabet is in place.
    if wait_for 5 traced_ready_or_ended && traced_mailbox_ready; then
      traced "$work/guest" "${guest[@]}"
    fi
    finish_traced_server
    shown -o host "${host[@]}"
    calls_from 'shmget(' "$work/host" | elide 3 1 "one-second sleeps" | view
    shown -o guest "${guest[@]}"
    calls_from 'shmget(' "$work/guest" | view
    notice "0x162e is 5678, the key; between its sleeps the server reads byte 0" \
      "with no system call at all, and the client stores \"*\" with none: once" \
      "attached, shared memory is plain memory"
  fi
}
