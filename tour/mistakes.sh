# shellcheck shell=bash
# --mistakes: each part runs one program with a classic mistake planted
# (mistakes/NAME.diff, built by mistakes/build.sh into
# $IPC_TOUR_MISTAKES/NAME/build/bin), and shows the change, the run, and
# the view in which the kernel shows the fault. A run that hangs or spins
# is ended by the part once its symptom has been seen, orphans too (they
# leave the tour's tree but keep its process group). Sourced by tour.sh,
# which sets mistake_names and selected; the rest is tour/helpers.sh's.
# What a part looks for, its symptom, is found by the probe beside the
# mistake's diff (symptom_NAME in mistakes/NAME.sh), which the exercises'
# checks run too.

for name in "${mistake_names[@]}"; do
  # shellcheck source=/dev/null # one probe per mistake
  source "mistakes/$name.sh"
done

# The program a mistake runs: its name's first word; the counter's
# mistakes run through tallybare.
program_of() { # NAME
  case $1 in
    counter-*) echo tallybare ;;
    *) echo "${1%%-*}" ;;
  esac
}

# True when the tour runs mistake NAME: no names given, or NAME, its
# program, or that program's client among them.
chosen() { # NAME
  local program
  ((${#selected[@]} == 0)) && return 0
  program=$(program_of "$1")
  [[ " ${selected[*]} " == *" $1 "* || " ${selected[*]} " == *" $program "* ]] && return 0
  [[ $program == stephost && " ${selected[*]} " == *" stepguest "* ]] && return 0
  [[ $program == boardhost && " ${selected[*]} " == *" boardguest "* ]] && return 0
  return 1
}

# A part's start: Enter with --pause, the heading with the command, with
# --ask the part's question (KIND QUESTION..., as ask takes them), the
# change as the diff shows it, and $changed, the changed programs' folder.
# The question comes before the change, whose first lines say what to
# watch. False when the tour does not run NAME.
mistake() { # NAME COMMAND KIND QUESTION...
  chosen "$1" || return 1
  if $pause && [[ -t 0 ]]; then
    read -r -p "-- press Enter for $1 " _
  fi
  changed=$IPC_TOUR_MISTAKES/$1/build/bin
  part_stops=$(stops)
  heading "$1: $2"
  ask "${@:3}"
  step "the change (mistakes/$1.diff):"
  view <"mistakes/$1.diff"
}

# What a process waits in (wchan) beside the tree.
sleepers() { # PID...
  local pids
  pids=$(printf '%s,' "$@")
  ps -o pid,ppid,stat,wchan:20,args --forest -p "${pids%,}" --ppid "${pids%,}" || true
}

# The PIDs of the processes called COMM in the tour's process group:
# orphans too, which leave the tour's tree but not its group.
group_pids() { # COMM
  ps -e -o pid=,pgid=,comm= | awk -v group="$group" -v name="$1" '$2 == group && $3 == name { print $1 }'
}

# Kills what the tour's process group still holds of PROGRAM's run
# and waits until it is gone.
end_all() { # COMM
  local pids
  pids=$(group_pids "$1")
  # shellcheck disable=SC2086 # a list of PIDs
  if [[ -n $pids ]]; then kill -KILL $pids 2>/dev/null || true; fi
  wait_for 5 gone_from_group "$1" || true
}

# tallylock's guard: its value, its sleepers (ncount) and the last process
# that changed it (pid), from ipcs -s -i.
guard_fields() { # ID: "value ncount pid"
  ipcs -s -i "$1" 2>/dev/null | awk '$1 == "0" && NF == 5 { print $2, $3, $5 }'
}
four_asleep() { # ID
  local fields
  read -r -a fields <<<"$(guard_fields "$1")"
  [[ ${fields[0]:-} == 0 && ${fields[1]:-} == 4 ]]
}

# For the verdicts: what a run's output or a view showed.
whole_or_torn() { # FILE: gridflip's output; nothing without a grid
  if torn "$1"; then
    echo torn
  elif grep -q '^\[' "$1"; then
    echo whole
  fi
}
on_the_pipe() { # FDS: how many of more's descriptors are on the pipe of its 0
  local input
  input=$(view_field "$1" 0 3)
  [[ $input == pipe:* ]] || return 0
  view_rows "$1" " -> ${input//[][]/.}\$"
}
# The key of the server's segment: the one removed (dest), or the mailbox.
server_segment_key() { # VIEW: ipcs -m
  awk -v mailbox=$mailbox '
    $NF == "dest" { print $1; found = 1; exit }
    $1 == mailbox { key = $1 }
    END { if (!found && key != "") print key }' <<<"$1"
}

mistake_tallylock_no_undo() {
  mistake tallylock-no-undo "tallylock 1000000" number "The workers now take and give" \
    "back the guard without SEM_UNDO. The tour kills the worker that holds it:" \
    "how many processes will ipcs then show waiting on the guard (ncount)?" || return 0
  local program workers id holder asleep look evidence found=0
  symptom_tallylock_no_undo || found=$?
  # A continue of the tour (fg, bg) while it held the five lets them go
  # on: the worker it then killed may no longer have held the guard.
  if ((found == 1)) && stopped_in_part; then
    notice "the tour was stopped (Ctrl-Z) while it held the workers, and its" \
      "continue let them go on: the worker killed no longer held the guard," \
      "and the others counted on; run it again"
    judge ""
  elif ((found == 2)); then
    notice "the run could not be caught holding its guard; try again"
    judge ""
  else
    step "worker $holder, which held the guard, killed; the other four:"
    print_view "$asleep"
    step "the guard (ipcs -s -i $id):"
    print_view "$look"
    local value ncount
    # The row of semaphore 0: semnum value ncount zcount pid.
    value=$(awk '$1 == "0" && NF == 5 { print $2 }' <<<"$look")
    ncount=$(awk '$1 == "0" && NF == 5 { print $3 }' <<<"$look")
    judge "$ncount"
    if [[ $value == 0 && $ncount == 4 ]]; then
      notice "value 0 and ncount 4: the four sleep in semop (S, their wchan) for" \
        "a give-back that will never come, and would sleep for ever"
    else
      notice "value ${value:-?} and ncount ${ncount:-?} in this look; expect value 0" \
        "and ncount 4 once the four sleep in semop (S, their wchan) for a" \
        "give-back that will never come, and would sleep for ever"
    fi
    notice "with SEM_UNDO the kernel keeps what each process owes the set, and" \
      "gives it back when the process dies: the sound tallylock loses only" \
      "the killed worker's additions, and the others go on"
  fi
}

mistake_tallylock_guard_of_two() {
  mistake tallylock-guard-of-two "tallylock 100000" number "The guard now starts at 2" \
    "and a take is a plain decrement: two workers may count at once, and lose" \
    "additions. With what exit status will tallylock end?" || return 0
  local program status total id try most counting_view out evidence lost=false
  # Two workers in at once lose an addition only when their read and
  # store overlap: most runs show it, and five tries nearly all.
  symptom_tallylock_guard_of_two 5 || true
  if [[ -n $counting_view ]]; then
    step "while the five count (ipcs -s -i $id):"
    print_view "$counting_view"
  fi
  [[ $total =~ ^[0-9]+$ ]] && ((total < 500000)) && lost=true
  step "try $try, which ended with status $status:"
  cat "$out"
  judge "$status"
  if $lost && ((status == 0)); then
    notice "$((500000 - total)) additions lost, with status 0: from 2, the" \
      "guard let two workers in at once, and nothing in the run says so"
  elif $lost; then
    notice "$((500000 - total)) additions lost, and status $status: its own lines" \
      "above say why; from 2, the guard lets two workers in at once, and" \
      "nothing in a run says so"
  else
    notice "five tries, and the workers let in together lost no addition; run" \
      "it again"
  fi
  notice "ncount counts the workers asleep in their take: at most $most here;" \
    "the sound guard starts at 1, and its zero-check fails at once should" \
    "someone raise it above 1"
}

mistake_counter_worker_returns() {
  mistake counter-worker-returns "tallybare 3000" number "A worker no longer exits once" \
    "it has counted: it returns into the parent's fork loop and forks on for" \
    "the rounds left, and each process that gets out of the loop prints a" \
    "total. How many \"padre total=\" lines will come out?" || return 0
  local program most look out lines evidence
  symptom_counter_worker_returns || true
  if [[ -n $look ]]; then
    step "while they count:"
    print_view "$look"
  fi
  cat "$out"
  judge "$(grep -c '^padre total=' "$out" || true)"
  local caught=0 seen
  if [[ -n $look ]]; then caught=$(view_rows "$look" tallybare); fi
  seen="up to $most of them seen at once"
  if ((caught > 0 && caught < most)); then
    seen="$caught of them in the view above, up to $most seen at once"
  fi
  if ((lines > 1)); then
    notice "$lines \"padre total=\" lines, one from each process that got out of" \
      "the fork loop: each worker went back into it and forked for the rounds" \
      "left, 1 + 5 + 10 + 10 + 5 + 1 = 32 processes, $seen"
  else
    notice "$lines \"padre total=\" line and up to $most processes seen at once:" \
      "no worker came back into the fork loop in this run"
  fi
  notice "the sound worker ends with exit as soon as it has counted, and never" \
    "comes back to the parent's code"
}

mistake_counter_printf_before_fork() {
  mistake counter-printf-before-fork "tallybare 300" number "The parent now prints a" \
    "line just before its fork loop, and does not flush stdout. Through a pipe," \
    "where stdout is written out only when its buffer fills or the process" \
    "exits, how many times will that line come out?" || return 0
  step "on a terminal (script -qec \"tallybare 300\" /dev/null):"
  script -qec "$changed/tallybare 300" /dev/null </dev/null | tr -d '\r' || true
  step "through a pipe (tallybare 300 | cat):"
  local piped copies line evidence
  symptom_counter_printf_before_fork || true
  if [[ -n $piped ]]; then
    printf '%s\n' "$piped"
    # The copies of the line printed most often, as the probe counted them
    # in the lines just shown.
    judge "$copies"
  else
    judge ""
  fi
  if ((copies == 6)); then
    notice "on a terminal stdout is line-buffered and the line went out at once;" \
      "into a pipe it waits in the buffer, which each of the five workers" \
      "inherits through fork and writes out when it exits: six copies"
  elif ((copies > 1)); then
    notice "on a terminal stdout is line-buffered and the line went out at once;" \
      "into a pipe it waits in the buffer, which each worker inherits through" \
      "fork and writes out when it exits: $copies copies here, six when all" \
      "five workers were made"
  else
    notice "through the pipe every line came out once in this run: no worker" \
      "inherited a line left in the parent's buffer"
  fi
  notice "the sound program calls fflush(stdout) before the fork loop"
}

mistake_gridflip_async_cancel() {
  mistake gridflip-async-cancel "gridflip" whole,torn "The worker now allows" \
    "asynchronous cancellation, so the request may end it at any instruction." \
    "Will the grid printed after the cancel be whole (all 0 or all 1) or" \
    "torn?" || return 0
  local try out evidence found=0
  symptom_gridflip_async_cancel 10 || found=$?
  step "try $try:"
  cat "$out"
  judge "$(whole_or_torn "$out")"
  if ((found == 0)); then
    notice "a torn grid on try $try: the request ended the worker in the" \
      "middle of a pass, between two cells"
  else
    notice "ten tries, and every one ended between passes; run it again"
  fi
  notice "the sound worker is cancelled only at its pthread_testcancel, at the" \
    "end of a pass, so its grid is always whole"
}

mistake_spawnwait_no_wait() {
  mistake spawnwait-no-wait "spawnwait 3" number "The parent no longer waits for its" \
    "five children, which sleep ten seconds. Once it has ended, what parent's" \
    "PID (PPID) will ps show for them?" || return 0
  local program status out early look evidence
  symptom_spawnwait_no_wait || true
  cat "$out"
  if [[ -n $look ]]; then
    step "spawnwait ended with status $status; its five children:"
    print_view "$look"
    judge "$(awk 'NR > 1 { print $2; exit }' <<<"$look")"
    if (($(view_rows "$look" '^ *[0-9]+ +[0-9]+ +S') == 5)); then
      notice "its \"Child finished\" lines waited for nothing; its children" \
        "sleep on without it, given by the kernel to init (PPID 1 in a lab, or" \
        "a subreaper on the host), which reaps them when they exit: their" \
        "parent never saw their status"
    else
      notice "its \"Child finished\" lines waited for nothing; its children," \
        "given by the kernel to init (PPID 1 in a lab, or a subreaper on the" \
        "host), are reaped by it when they exit: their parent never saw their" \
        "status"
    fi
  else
    judge ""
  fi
  notice "the sound parent waits for each child with waitpid before it ends"
  end_all spawnwait
}

mistake_tubenote_pipe_after_fork() {
  mistake tubenote-pipe-after-fork "tubenote" number "fork now comes before pipe, so" \
    "each process makes a pipe of its own, and the parent closes its read end" \
    "before it writes. With what status will the parent end? (A process" \
    "killed by a signal ends with 128 + its number.)" || return 0
  local status out evidence
  symptom_tubenote_pipe_after_fork || true
  cat "$out"
  step "tubenote ended with status $status ($(kill -l "$status" 2>/dev/null || echo "-"))"
  judge "$status"
  if ((status == 128 + $(kill -l PIPE))); then
    notice "fork came first, so each process made a pipe of its own: the" \
      "parent wrote into its own, whose read end it had closed, and was killed" \
      "by SIGPIPE; the child read its own, which nobody writes"
  elif grep -q '^child read nothing$' "$out"; then
    notice "fork came first, so each process made a pipe of its own: the" \
      "parent wrote into its own, whose read end it had closed, which fails" \
      "with EPIPE where SIGPIPE does not kill it; the child read its own," \
      "which nobody writes"
  elif grep -q '^child read Greetings$' "$out"; then
    notice "the parent ended with status $status, and the child read its" \
      "greeting: in this run the two shared one pipe"
  fi
  if tracing; then
    local args=(-e "trace=pipe2,clone,close,read,write" "$changed/tubenote") pids
    traced "$work/t" -ff "${args[@]}"
    shown -ff -o t "${args[@]}"
    mapfile -t pids < <(trace_pids "$work/t")
    if ((${#pids[@]} == 2)); then
      process_calls "the parent" "${pids[0]}" 'clone(' notes
      process_calls "the child" "${pids[1]}" "" notes
    fi
  fi
  notice "the sound program makes the pipe first: both ends then belong to" \
    "both processes"
}


mistake_tubechain_reader_keeps_write_end() {
  mistake tubechain-reader-keeps-write-end "tubechain" number "The launcher, which" \
    "becomes more, now keeps its copy of the pipe's write end. Once ps has" \
    "ended, how many of more's descriptors will be on the pipe it reads?" || return 0
  local program out asleep fds evidence found=0
  symptom_tubechain_reader_keeps_write_end || found=$?
  if [[ -n $asleep ]]; then
    step "ps has ended; more waits:"
    print_view "$asleep"
    step "more's descriptors (ls -l /proc/$program/fd):"
    print_view "$fds"
    judge "$(on_the_pipe "$fds")"
  else
    judge ""
  fi
  if ((found == 0)) && [[ -n $fds ]]; then
    notice "more holds the pipe's write end as well as its read end, so the" \
      "pipe never reports the end of the data to it; it keeps what it read" \
      "and sleeps in the next read for ever"
  else
    notice "more was not caught in its read here; it holds the pipe's write" \
      "end as well as its read end, so the pipe never reports the end of the" \
      "data to it, and it sleeps in the next read for ever"
  fi
  notice "the sound launcher closes its copy of the write end before it becomes" \
    "more"
}

mistake_stephost_no_reuseaddr() {
  mistake stephost-no-reuseaddr "stephost, stepguest, then stephost again" number \
    "stephost no longer sets SO_REUSEADDR. After a whole conversation it is run" \
    "again at once, while the last connection's end waits in TIME-WAIT on port" \
    "7734. What will it print as \"RC from bind\"?" || return 0
  local status out look evidence
  if port_listening; then
    notice "port 7734 is already in use; skipping this mistake"
    judge ""
    return 0
  fi
  # Quiet when the first stephost never listened, as before.
  symptom_stephost_no_reuseaddr || (($? != 2)) || { judge ""; return 0; }
  step "a whole conversation done, stephost again:"
  cat "$out"
  judge "$(awk '/^RC from bind = / { print $5; exit }' "$out")"
  step "stephost ended with status $status; the port:"
  print_view "$look"
  if ((status == 137)) && stopped_in_part; then
    notice "the tour was stopped (Ctrl-Z) here for longer than the TIME-WAIT's" \
      "minute: the port was free again, and stephost bound it and waited for a" \
      "client until the tour ended it"
  elif ((status == 137)); then
    notice "stephost bound the port again in this run, and waited for a client" \
      "until the tour ended it"
  elif (($(view_rows "$look" '^TIME-WAIT +[0-9]+ +[0-9]+ +[^ ]*:7734 ') > 0)); then
    notice "the last conversation's end waits in TIME-WAIT for a minute, and" \
      "without SO_REUSEADDR no new socket may bind the port meanwhile"
  else
    notice "no end of the last conversation waits in TIME-WAIT in this look;" \
      "while one does, for a minute, without SO_REUSEADDR no new socket may" \
      "bind the port"
  fi
  notice "the sound stephost sets SO_REUSEADDR before bind"
}

mistake_boardhost_busy_wait() {
  mistake boardhost-busy-wait "boardhost, then boardguest" state "The server's poll of" \
    "byte 0 no longer sleeps between two looks. What state will ps show for" \
    "the server while it waits for its client?" || return 0
  local program look host_out guest_out evidence found=0
  symptom_boardhost_busy_wait || found=$?
  if [[ -n $look ]]; then
    step "the server waits for the client:"
    print_view "$look"
    judge "$(view_field "$look" "$program" 2 | cut -c 1)"
  else
    judge ""
  fi
  cat "$guest_out" "$host_out"
  if ((found == 0)); then
    notice "with no sleep between two looks at byte 0 the server runs (R) all" \
      "the time it waits: near 100 %CPU, a whole core, unless other work" \
      "takes its share"
  elif [[ $(view_field "$look" "$program" 2) == S* ]]; then
    notice "the server slept (S) in this look, as a server that sleeps between" \
      "two looks at byte 0 does"
  else
    notice "with no sleep between two looks at byte 0 the server, once it" \
      "polls, runs (R) all the time it waits: near 100 %CPU, a whole core," \
      "unless other work takes its share"
  fi
  if stopped_in_part; then
    notice "the tour, and the server with it, was stopped (Ctrl-Z) in this" \
      "part: %CPU is the share of a core since the start, and the time" \
      "stopped counts in it as time idle"
  fi
  if tracing; then
    local args=(-e "trace=%ipc,clock_nanosleep" "$changed/boardhost")
    traced_start "$work/host" "${args[@]}"
    # It never sleeps: ready once attached.
    attached_or_ended() { [[ $(nattch $mailbox) -ge 1 ]] 2>/dev/null || ended "$tracer"; }
    if wait_for 5 attached_or_ended && ! ended "$tracer"; then
      "$changed/boardguest" >/dev/null || true
    fi
    finish_traced_server
    shown -o host "${args[@]}"
    look=$(calls_from 'shmget(' "$work/host")
    print_view "$look"
    if ! grep -q '^clock_nanosleep(' <<<"$look"; then
      notice "after shmat, no clock_nanosleep, nor any other call: the loop never" \
        "asks the kernel for anything, and strace has nothing to show until the" \
        "client's mark ends it"
    fi
  fi
  notice "the sound server sleeps a second between two looks"
}

mistake_boardhost_no_volatile() {
  mistake boardhost-no-volatile "boardhost" waits,ends "The poll no longer sleeps," \
    "and reads byte 0 through a plain pointer, not a volatile one. Started with" \
    "no client, will boardhost wait for one, or end at once?" || return 0
  local status out evidence found=0
  symptom_boardhost_no_volatile || found=$?
  cat "$out"
  # The probe gives a server that waits its client after two seconds.
  if ((found == 0)); then
    step "boardhost ended at once, with status $status, and no client"
    judge ends
    notice "without volatile the compiler knows byte 0 holds \"a\" and nothing" \
      "in the loop can change it; C++ lets it assume that a loop doing nothing" \
      "ends, so it took the loop out, and the server never waited"
  else
    step "boardhost waited two seconds with no client; then the tour ran boardguest"
    judge waits
    notice "the server waited for its client in this run: its loop was kept"
  fi
  notice "the sound server reads byte 0 through a volatile pointer, and sleeps"
}

mistake_boardhost_removes_at_once() {
  mistake boardhost-removes-at-once "boardhost, then boardguest" number "boardhost now" \
    "removes its segment (IPC_RMID) right after attaching it, and a removed" \
    "segment lives on while it is attached. What key will ipcs show for it" \
    "while the server polls? (ipcs shows keys in hexadecimal: 5678 is" \
    "0x0000162e.)" || return 0
  local program look status guest_out evidence
  symptom_boardhost_removes_at_once || true
  if [[ -n $look ]]; then
    step "the server polls its segment:"
    print_view "$look"
    judge "$(server_segment_key "$look")"
  else
    judge ""
  fi
  cat "$guest_out"
  step "boardguest ended with status $status"
  if (($(view_rows "$look" '^0x00000000 .* dest *$') > 0)); then
    notice "removed at once, the segment lost its key (0x00000000, dest): it" \
      "lives on while boardhost keeps it attached, but no shmget finds it"
  else
    notice "removed at once, a segment loses its key (0x00000000, dest): it" \
      "lives on while boardhost keeps it attached, but no shmget finds it"
  fi
  notice "the sound server leaves the segment for its client, who finds it by" \
    "the key"
}

tour_mistakes() {
  mistake_tallylock_no_undo
  mistake_tallylock_guard_of_two
  mistake_counter_worker_returns
  mistake_counter_printf_before_fork
  mistake_gridflip_async_cancel
  mistake_spawnwait_no_wait
  mistake_tubenote_pipe_after_fork
  mistake_tubechain_reader_keeps_write_end
  mistake_stephost_no_reuseaddr
  mistake_boardhost_busy_wait
  mistake_boardhost_no_volatile
  mistake_boardhost_removes_at_once
}
