# shellcheck shell=bash
# What the tour's parts (tour/*.sh) share: the tour's own lines, polling,
# the ps and ipcs views, the traced runs of --calls, and the cleanup.
# Sourced by tour.sh, which sets bin, calls, pause, selected and work.

# The tour's own lines: a program's heading, a step (what the view under
# it shows), a view (what ps, ipcs, ss or strace print), what to notice.
heading() { printf '\n== %s ==\n' "$*"; }
step() { printf -- '-- %s\n' "$*"; }
view() { sed 's/^/   | /'; }
notice() { printf '   * %s\n' "$*"; }

wants() { # NAME...: true when the tour runs any of them
  ((${#selected[@]} == 0)) && return 0
  local name
  for name in "$@"; do
    [[ " ${selected[*]} " == *" $name "* ]] && return 0
  done
  return 1
}

begin() { # NAME...: true when the tour runs NAME; waits for Enter with --pause
  wants "$@" || return 1
  if $pause && [[ -t 0 ]]; then
    read -r -p "-- press Enter for $1 " _
  fi
}

# Polls a condition ten times a second until it holds or `seconds` pass.
wait_for() {
  local seconds=$1 tenths
  shift
  for ((tenths = 0; tenths < seconds * 10; tenths++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# True when process PID has ended: gone, or a zombie that no one reaped yet.
ended() {
  local state
  state=$(ps -o stat= -p "$1" || true)
  [[ -z $state || $state == Z* ]]
}

# Waits a few seconds for a server whose client has ended, then ends it: a
# client that could not reach it (in a network namespace whose loopback
# interface is down, say) must not hold the tour up. SIGKILL, since the
# tour's processes ignore SIGINT and SIGTERM, which the script handles.
finish_server() { # PID
  wait_for 5 ended "$1" || kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true # no "Killed" report
}
# The same for the server that strace runs ($tracer): strace ends with it.
finish_traced_server() {
  if ! wait_for 5 ended "$tracer"; then
    # shellcheck disable=SC2046 # the server's pid, if any
    kill -KILL $(ps -o pid= --ppid "$tracer") 2>/dev/null || true
  fi
  wait "$tracer" 2>/dev/null || true
}

# Processes called NAME in the tour's own process group, zombies too. An
# orphan leaves the tour's process tree but not its group.
in_group() { ps -e -o pgid=,comm= | awk -v group="$group" -v name="$1" '$1 == group && $2 == name'; }
gone_from_group() { [[ -z $(in_group "$1") ]]; }

# A view of a process that has just ended is an empty one, not the end of
# the tour (ps fails when it finds nothing, and the script stops at errors).
tree() { ps -o pid,ppid,stat,args --forest --pid "$1" --ppid "$1" || true; }
children_in_state() { # STATE PID: all five children of PID are in STATE
  # Polled for seconds on end: read from /proc by the shell itself, with
  # no process started for each look.
  local children child stat
  if [[ ! -e /proc/$2/task/$2/children ]]; then # a kernel without the list
    [[ $(ps -o stat= --ppid "$2" | grep -c "^$1") == 5 ]]
    return
  fi
  children=()
  # The list has no line end, so read reports the end of the file.
  read -r -a children 2>/dev/null <"/proc/$2/task/$2/children" || true
  ((${#children[@]} == 5)) || return 1
  for child in "${children[@]}"; do
    read -r stat 2>/dev/null <"/proc/$child/stat" || return 1
    stat=${stat##*) } # the fields after the command's name: the state first
    [[ $stat == "$1"* ]] || return 1
  done
}

# The heading of ipcs's table (-m segments, -s semaphore sets) and the line
# of `key`, or a line that says there is none.
ipc_line() {
  ipcs "$1" | awk -v key="$2" '
    /^key/ { heading = $0 }
    $1 == key { line = $0 }
    END { print heading; print (line != "" ? line : "(none with key " key ")") }'
}
nattch() { ipcs -m | awk -v key="$1" '$1 == key { print $6 }'; }

counter=0x0000068e # key 1678
guard=0x000004d2   # key 1234
mailbox=0x0000162e # key 5678

# The guard set is the one object tallylock removes itself, at its end; a
# tallylock of the tour's own cut short leaves it. While one runs,
# $work/guard holds the id of the set it made ("new" until the set is
# seen), and the cleanup removes that set and no other. A set that was
# there before the run is someone else's: the run shares it, and it is
# never noted.
guard_id() { ipcs -s | awk -v key=$guard '$1 == key { print $2 }'; }
guard_made() { [[ -n $(guard_id) ]] || ended "$started"; }

start_tallylock() { # COMMAND...: starts it in the background as $started
  local fresh=false id
  if [[ -z $(guard_id) ]]; then
    fresh=true
    echo new >"$work/guard"
  fi
  "$@" &
  started=$!
  if $fresh && wait_for 5 guard_made; then
    id=$(guard_id)
    if [[ -n $id ]]; then echo "$id" >"$work/guard"; fi
  fi
}
# After the run has ended by itself: it removed its set.
tallylock_ended() { rm -f "$work/guard"; }

remove_guard_left() {
  local noted id
  noted=$(cat "$work/guard" 2>/dev/null) || return 0
  id=$(guard_id)
  if [[ -n $id && ($noted == new || $noted == "$id") ]]; then
    ipcrm -s "$id" 2>/dev/null || true
  fi
}

# --calls: the system calls behind each program, shown with strace. A
# part runs its program once more, after its normal run and with its
# output thrown away, as `strace -o FILE ARGS...`; it shows the command a
# student can type (ARGS without -o) and strace's lines, filtered but never
# edited: the C library's start-up calls and strace's notes of signals
# ("---") and exits ("+++") are left out, long runs elided with a line
# that says how many.
tracing() { $calls; }

shown() { # STRACE_ARGS...: the step line with the command to type
  local arg line=strace
  for arg in "$@"; do
    if [[ $arg =~ ^[[:alnum:]_./,=:+-]+$ ]]; then line+=" $arg"; else line+=" ${arg@Q}"; fi
  done
  step "$line"
}

traced() { # FILE STRACE_ARGS...: the traced run
  local file=$1
  shift
  strace -o "$file" "$@" >/dev/null 2>&1 </dev/null || true
}
traced_start() { # FILE STRACE_ARGS...: the same in the background, strace as $tracer
  local file=$1
  shift
  strace -o "$file" "$@" >/dev/null 2>&1 </dev/null &
  tracer=$!
}

# strace's lines from FILE from the first one that contains START (the
# program's first own call) on, without the notes of signals and exits.
calls_from() { # START FILE
  awk -v start="$1" '
    index($0, start) { on = 1 }
    on && !/^([0-9]+ +)?(---|\+\+\+) /' "$2"
}

# The first FIRST and last LAST lines of the input; those between become
# one line that says how many they were.
elide() { # FIRST LAST WHAT
  awk -v first="$1" -v last="$2" -v what="$3" '
    { line[NR] = $0 }
    END {
      for (i = 1; i <= NR; i++) {
        if (NR <= first + last + 1 || i <= first || i > NR - last) print line[i]
        else if (i == first + 1) print "... " NR - first - last " more " what " ..."
      }
    }'
}

# For a parent with several workers (strace -f, a PID on each line): the
# parent's lines and the first worker's, the others' counted in one line.
first_worker() { # WHAT: what the other workers did
  awk -v what="$1" '
    NR == 1 { parent = $1 }
    $1 != parent && worker == "" { worker = $1 }
    $1 != parent && $1 != worker {
      if (!($1 in others)) { others[$1]; n++ }
      hidden = 1
      next
    }
    hidden && $1 == parent { print "... the other " n " workers: " what " ..."; hidden = 0 }
    { print }
    END { if (hidden) print "... the other " n " workers: " what " ..." }'
}

# Every process below this script, but not the pipeline that asks.
descendants() {
  local self=$BASHPID # the subshell that runs this, parent of ps and awk
  ps -e -o pid=,ppid= | awk -v root=$$ -v self="$self" '
    { parent[$1] = $2 }
    END {
      for (pid in parent) {
        up = pid
        while (up in parent && up != root && up != self) up = parent[up]
        if (up == root && pid != root) print pid
      }
    }'
}

# On Ctrl-C, or any other end: freeze everything the tour started (and what
# that started), until nothing new appears, then kill it all. SIGKILL also
# ends a stopped process, such as spawnwait's parent held, or a process
# that strace traces. Then remove the guard set of a tallylock cut short.
cleanup() {
  trap - EXIT INT TERM
  disown -a # no "Killed" report for the background jobs
  local pid found all=" "
  while true; do
    found=""
    for pid in $(descendants); do
      [[ $all == *" $pid "* ]] || found+="$pid "
    done
    [[ -n $found ]] || break
    kill -STOP $found 2>/dev/null || true
    all+=$found
  done
  if [[ $all != " " ]]; then kill -KILL $all 2>/dev/null || true; fi
  if [[ -n ${work:-} ]]; then
    remove_guard_left
    rm -rf "$work"
  fi
}
