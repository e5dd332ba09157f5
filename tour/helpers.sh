# shellcheck shell=bash
# What the tour's parts (tour/*.sh) share: the tour's own lines, polling,
# the ps and ipcs views, the traced runs of --calls, and the cleanup.
# Sourced by tour.sh, which sets asking, bin, calls, pause, selected and
# work.

# The tour's own lines: a program's heading, a step (what the view under
# it shows), a view (what ps, ipcs, ss or strace print), what to notice.
heading() { printf '\n== %s ==\n' "$*"; }
step() { printf -- '-- %s\n' "$*"; }
view() { sed 's/^/   | /'; }
print_view() { if [[ -n $1 ]]; then view <<<"$1"; fi; } # TEXT: kept to be read after
# A notice is a sentence or two, wrapped to 80 columns, each line marked.
notice() { printf '%s\n' "$*" | fold -s -w 75 | sed 's/ *$//; s/^/   * /'; }

# --ask: before a view, a question on lines of "   ? " and the answer read
# from the terminal after "   > "; after the view, one verdict line, read
# from what the view showed: "   = right: VALUE", "   = wrong: VALUE, not
# ANSWER" or "   = skipped: VALUE" (no answer). The answers are counted for
# the score at the end; nothing is kept. Without --ask, ask and judge do
# nothing. A question is a number, a process state's letter, or one word
# out of the list it names.
asked=0
right=0
answer=""
answer_kind=""

question() { printf '%s\n' "$*" | fold -s -w 75 | sed 's/ *$//; s/^/   ? /'; } # the question's lines

ask() { # number|state|WORD,WORD... QUESTION...: asks it, the answer in $answer
  $asking || return 0
  answer_kind=$1
  shift
  case $answer_kind in
    number) question "$*" ;;
    state) question "$* (R, S, T, Z or D)" ;;
    *) question "$* (${answer_kind//,/, })" ;;
  esac
  read_answer
  if [[ -n $answer ]] && ! of_kind "$answer"; then
    case $answer_kind in
      number) question "a number, please" ;;
      state) question "one letter, please: R, S, T, Z or D" ;;
      *) question "one of these, please: ${answer_kind//,/, }" ;;
    esac
    read_answer # taken as given this time
  fi
}

# The answer typed after the prompt, without its blanks; none at the end
# of the terminal's input.
read_answer() {
  read -r -p "   > " answer || answer=""
  answer=${answer//[[:space:]]/}
}

# A word, or a state's letter, as compared: in capitals, without dashes or
# underscores (TIME-WAIT, time_wait and timewait are one answer).
word_of() { # TEXT
  local word=${1^^}
  word=${word//[-_[:space:]]/}
  echo "$word"
}
# A number, decimal or hexadecimal (as ipcs shows keys), in decimal; nothing
# for any other text.
number_of() { # TEXT
  if [[ $1 =~ ^([-+]?)0[xX]([0-9a-fA-F]+)$ ]]; then
    echo $((${BASH_REMATCH[1]}16#${BASH_REMATCH[2]}))
  elif [[ $1 =~ ^([-+]?)([0-9]+)$ ]]; then
    echo $((${BASH_REMATCH[1]}10#${BASH_REMATCH[2]}))
  fi
}

of_kind() { # ANSWER: true when it is of the kind the question asks for
  local word
  case $answer_kind in
    number) [[ -n $(number_of "$1") ]] ;;
    state) [[ $(word_of "$1") =~ ^[RSDTZIX]$ ]] ;;
    *)
      for word in ${answer_kind//,/ }; do
        [[ $(word_of "$word") == "$(word_of "$1")" ]] && return 0
      done
      return 1
      ;;
  esac
}

same() { # VALUE ANSWER: true when the answer is the value
  local value
  case $answer_kind in
    number)
      value=$(number_of "$1")
      [[ -n $value && $value == "$(number_of "$2")" ]]
      ;;
    *) [[ $(word_of "$1") == "$(word_of "$2")" ]] ;;
  esac
}

# The verdict on the last answer, from VALUE, read from the view just
# shown; a view that could not be taken (VALUE empty) is not counted.
judge() { # VALUE
  $asking || return 0
  local value=$1 given=$answer room
  if [[ -z $value ]]; then
    echo "   = skipped: (not shown)"
    return 0
  fi
  asked=$((asked + 1))
  if [[ -z $answer ]]; then
    echo "   = skipped: $value"
  elif same "$value" "$answer"; then
    right=$((right + 1))
    echo "   = right: $value"
  else
    # A long answer is cut to keep the line in 80 columns.
    room=$((80 - 18 - ${#value}))
    ((${#given} <= room)) || given="${given:0:room-3}..."
    echo "   = wrong: $value, not $given"
  fi
}

# The score, at the end of the tour.
score() {
  if $asking; then heading "predicted $right of $asked"; fi
}

# With --ask, a program that runs on while a question waits writes its own
# lines into $work/own, shown once it has ended (own_shown): they never
# come in the middle of a question.
own_held() { # COMMAND...: runs it, its output into $work/own with --ask
  if $asking; then "$@" >"$work/own"; else "$@"; fi
}
own_shown() { if $asking; then cat "$work/own"; fi; }

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
  part_stops=$(stops)
}

# How often the tour has been stopped (Ctrl-Z) and continued so far: the
# script adds a line to $work/continued at each continue. Read by the
# shell itself, as it is polled.
stops() {
  local lines=()
  mapfile -t lines <"$work/continued"
  echo ${#lines[@]}
}
stopped_since() { # COUNT: true when a stop came since stops said COUNT
  local lines=()
  mapfile -t lines <"$work/continued"
  ((${#lines[@]} > $1))
}
# True when the tour was stopped in the current part.
stopped_in_part() { stopped_since "$part_stops"; }

# Sleeps SECONDS with no process started (a poll that ran sleep would start
# one for each look): read -t times out on a FIFO of the run's own, which
# no one writes to. Opened for reading and writing, it never blocks in open.
nap() { # SECONDS
  [[ -p $work/nap ]] || mkfifo "$work/nap"
  read -r -t "$1" _ <>"$work/nap" || true
}

# Polls a condition ten times a second until it holds or `seconds` pass;
# with --often, fifty times, for a condition the shell itself reads from
# /proc, which starts no process.
wait_for() { # [--often] SECONDS CONDITION...
  local pause=0.1 looks=10 look
  if [[ $1 == --often ]]; then
    pause=0.02 looks=50
    shift
  fi
  local seconds=$1
  shift
  for ((look = 0; look < seconds * looks; look++)); do
    if "$@"; then return 0; fi
    nap $pause
  done
  return 1
}

# A process's state (R, S, T, Z...) is polled, often for seconds on end:
# it is read by the shell itself from /proc/PID/stat, where ps reads it,
# with no process started for each look. The fields after the command's
# name (in parentheses) start with the state.
in_state() { # PID LETTER: true when process PID is in that state
  local stat
  [[ $1 =~ ^[0-9]+$ ]] && read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  [[ ${stat##*) } == "$2"* ]]
}
# True when process PID has ended: a zombie that no one reaped yet, or gone
# (in no state at all).
ended() { in_state "$1" Z || ! in_state "$1" ""; }

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
# The PIDs of PID's children, into the array `children` of the caller.
# Polled: read by the shell itself from the list the kernel keeps in /proc.
children_of() { # PID
  children=()
  if [[ ! -e /proc/$1/task/$1/children ]]; then # a kernel without the list
    mapfile -t children < <(ps -o pid= --ppid "$1" | tr -d ' ')
    return 0
  fi
  # The list has no line end, so read reports the end of the file.
  read -r -a children 2>/dev/null <"/proc/$1/task/$1/children" || true
}
children_in_state() { # STATE PID: all five children of PID are in STATE
  local children child
  children_of "$2"
  ((${#children[@]} == 5)) || return 1
  for child in "${children[@]}"; do
    in_state "$child" "$1" || return 1
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
# The attachments of the segment with KEY, as ipcs shows them (nattch),
# into `attachments` of the caller, or nothing. Polled: read by the shell
# itself from /proc/sysvipc/shm, where ipcs reads them (keys in decimal).
attachments_of() { # KEY
  local key _ nattch
  attachments=""
  while read -r key _ _ _ _ _ nattch _; do
    if [[ $key == "$(($1))" ]]; then
      attachments=$nattch
      return 0
    fi
  done </proc/sysvipc/shm
}
nattch() { # KEY: the same, printed
  local attachments
  attachments_of "$1"
  echo "$attachments"
}

# A note that says what a view shows reads it from the lines that were
# printed: the view is kept in a variable, shown, then read.
view_field() { # VIEW FIRST N: the Nth field of the row that starts with FIRST
  awk -v first="$2" -v n="$3" '$1 == first { print $n; exit }' <<<"$1"
}
view_rows() { # VIEW REGEX: how many of the view's rows match
  grep -c -E -e "$2" <<<"$1" || true
}
attached() { # NATTCH: how a note says it
  case $1 in
    0) echo "attached by no one" ;;
    1) echo "with one attachment" ;;
    *) echo "with $1 attachments" ;;
  esac
}

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

# With --host, the counter, guard or mailbox may be another user's: every
# run uses the same keys. Their owner is read from /proc/sysvipc, where
# ipcs reads it, by uid, so that a login of any length is found.
sysv_fields() { # shm|sem FIELD VALUE COLUMN...: those columns of its row
  awk -v field="$2" -v value="$3" -v wanted="${*:4}" '
    NR == 1 { for (i = 1; i <= NF; i++) column[$i] = i; next }
    $column[field] == value {
      n = split(wanted, names, " ")
      for (i = 1; i <= n; i++) printf "%s%s", $column[names[i]], (i < n ? " " : "\n")
    }' "/proc/sysvipc/$1" 2>/dev/null || true
}
owner_of() { sysv_fields "$1" key "$(($2))" uid; } # shm|sem KEY: the owner's uid, or nothing
login_of() { # UID: the login, or "user UID" where it has none
  id -nu "$1" 2>/dev/null || echo "user $1"
}
# An object of another user's that this user may not read and write (its
# mode, octal in /proc/sysvipc, for a member of its group or for others)
# makes the run fail to open it (EACCES), unless the user is root.
not_mine() { # shm|sem KEY WHAT DOES: a notice when someone else owns it
  local uid login perms gid bits
  uid=$(owner_of "$1" "$2")
  [[ -n $uid && $uid != "$(id -u)" ]] || return 0
  login=$(login_of "$uid")
  read -r perms gid <<<"$(sysv_fields "$1" key "$(($2))" perms gid)"
  bits=${perms: -1}
  if [[ " $(id -G) " == *" $gid "* ]]; then bits=${perms: -2:1}; fi
  if (($(id -u) != 0 && (8#${bits:-6} & 6) != 6)); then
    notice "$3 (key $(($2))) is $login's, not yours, and its mode, $perms, does" \
      "not let you read and write it: this run cannot open it"
  else
    notice "$3 (key $(($2))) is $login's, not yours: this run $4"
  fi
}

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
# part runs its program once more, with its output thrown away, as
# `strace -ff -o FILE ARGS...` (one file per process, FILE.PID, so that no
# call is split by another process's lines) or, for a program of one
# process, `strace -o FILE ARGS...`. It shows the command, then each
# process's lines under a step that names the process, filtered but never
# edited: strace's notes of signals ("---") and exits ("+++") are left
# out, long runs elided with a line that says how many, and a line too
# wide for a wide terminal is cut where a mark says so.
tracing() { $calls; }

shown() { # STRACE_ARGS...: the step line with the command to type
  local arg word line="-- strace"
  for arg in "$@"; do
    word=$arg
    [[ $arg =~ ^[[:alnum:]_./,=:+%-]+$ ]] || word=${arg@Q}
    # A long --bin folder: the command goes on in a line of its own.
    if ((${#line} + 1 + ${#word} > 78)); then
      printf '%s \\\n' "$line"
      line="--    $word"
    else
      line+=" $word"
    fi
  done
  printf '%s\n' "$line"
}

traced() { # FILE STRACE_ARGS...: the traced run, into FILE or FILE.PID
  local file=$1
  shift
  rm -f "$file" "$file".* # an earlier part's
  strace -o "$file" "$@" >/dev/null 2>&1 </dev/null || true
}
traced_start() { # FILE STRACE_ARGS...: the same in the background, strace as $tracer
  local file=$1
  shift
  rm -f "$file" "$file".*
  strace -o "$file" "$@" >/dev/null 2>&1 </dev/null &
  tracer=$!
}

# The processes of a trace written with -ff -o PREFIX, one PID a line, in
# the order they were made: the first, then, after each process, those
# its clone or clone3 calls made, as they returned their PIDs.
trace_pids() { # PREFIX
  awk '
    FNR == 1 { pid = FILENAME; sub(/.*\./, "", pid); pids[++n] = pid }
    /^clone3?\(/ && match($0, / = [0-9]+( <[0-9.]+>)?$/) {
      split(substr($0, RSTART + 3), made, " ")
      children[pid] = children[pid] " " made[1]
      child[made[1]]
    }
    function show(pid,    list, i, n) {
      print pid
      n = split(children[pid], list, " ")
      for (i = 1; i <= n; i++) show(list[i])
    }
    END { for (i = 1; i <= n; i++) if (!(pids[i] in child)) show(pids[i]) }
  ' "$1".*
}

# A trace file's lines from the first one that contains START (the
# program's first own call; all of them if START is empty) on, without the
# notes of signals and exits unless NOTES is given, each cut to 132
# columns with the view's margin.
calls_from() { # START FILE [NOTES]
  awk -v start="$1" -v notes="${3:-}" '
    start == "" || index($0, start) { on = 1 }
    on && (notes != "" || !/^(---|\+\+\+) /) {
      if (length($0) > 127) $0 = substr($0, 1, 121) " [...]"
      print
    }' "$2"
}

# What a note says of a trace is read from it: descriptors are the lowest
# free ones, which depend on what the tour itself was given open.
call_result() { # FILE CALL: what the first line that starts with CALL returned
  awk -v call="$2" 'index($0, call) == 1 && match($0, / = -?[0-9]+/) {
    print substr($0, RSTART + 3, RLENGTH - 3); exit }' "$1"
}
pipe_ends() { # FILE: the read and write ends of its first pipe2
  sed -n '/^pipe2(\[/ { s/^pipe2(\[\([0-9]*\), \([0-9]*\)\].*/\1 \2/p; q }' "$1"
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

# One process's calls of a trace written with -ff -o $work/t, under a
# step that names the process and its file: from START on (all of them if
# START is empty), with strace's notes of signals and exits if NOTES.
process_calls() { # WHO PID START [NOTES]
  step "$1 (t.$2):"
  calls_from "$3" "$work/t.$2" "${4:-}" | view
}

# A parent and its children, worker or child each: the parent's calls from
# START on, the first child's, and one line for the others.
parent_and_children() { # START ONE MANY: "worker" "workers"
  local pids others
  mapfile -t pids < <(trace_pids "$work/t")
  ((${#pids[@]} >= 2)) || return 0
  process_calls "the parent" "${pids[0]}" "$1"
  process_calls "$2 1" "${pids[1]}" ""
  others=("${pids[@]:2}")
  if ((${#others[@]})); then
    if same_calls "${pids[@]:1}"; then
      step "$3 2 to $((${#pids[@]} - 1)) made the same calls (t.${others[0]} to t.${others[-1]})"
    else
      step "$3 2 to $((${#pids[@]} - 1)): t.${others[0]} to t.${others[-1]}"
    fi
  fi
}
# True when the processes' traces name the same calls in the same order.
same_calls() { # PID...
  local pid
  for pid in "$@"; do
    sed 's/(.*//' "$work/t.$pid" | cksum
  done | sort -u | (($(wc -l) == 1))
}

# Every process below this script, and those it left in its process group
# where the script leads that group (the children of a parent that ended
# before them, adopted by init), but not the pipeline that asks, nor this
# script's own parents. In a lab the group lies outside the lab, and what
# the tour left there ends with the lab.
descendants() {
  local self=$BASHPID # the subshell that runs this, parent of ps and awk
  ps -e -o pid=,ppid=,pgid= | awk -v root=$$ -v self="$self" '
    { parent[$1] = $2; group[$1] = $3 }
    END {
      # Only a group that the script leads: a caller without job
      # control shares its group with the tour.
      own = group[root] == root
      for (up = root; up in parent; up = parent[up]) above[up]
      for (pid in parent) {
        up = pid
        while (up in parent && up != root && up != self) up = parent[up]
        if (up == self) continue
        if (up == root ? pid != root : own && group[pid] == root && !(pid in above)) print pid
      }
    }'
}

# On Ctrl-C, or any other end: freeze everything the tour started (and what
# that started), until nothing new appears, then kill it all. SIGKILL also
# ends a stopped process, such as spawnwait's parent held, or a process
# that strace traces. Then remove the guard set of a tallylock cut short.
cleanup() {
  trap - EXIT INT TERM HUP CONT
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
