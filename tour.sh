#!/usr/bin/env bash
# A guided run of the suite: builds it, then runs each program in turn,
# servers before their clients, and shows beside each program's own output
# what the kernel holds at the moment that matters: the process tree, the
# System V objects, the sockets. Lines of the tour's own start with "==",
# "--", "   |" (what ps, ipcs or ss print) or "   *" (what to notice);
# every other line is a program's own output. Runs unattended too; nothing
# is left running afterwards, even when interrupted. See --help.
set -euo pipefail

programs=(tallylock tallybare gridflip spawnwait tubenote tubechain
          stephost stepguest boardhost boardguest)

usage() {
  cat <<EOF
usage: ./tour.sh [--pause] [--bin DIR] [NAME...]

Builds the suite into build/bin and runs its programs one at a time, each
with a short view of what the kernel holds while it runs (ps, ipcs, ss) and
a line that says what to notice there.

  NAME...    run only these programs (in the tour's order); a server or its
             client runs the pair. Names: ${programs[*]}
  --pause    wait for Enter before each program (only on a terminal)
  --bin DIR  run the programs already built in DIR; do not build
  --help     show this text

Ctrl-C stops the tour and every process it started.
EOF
}

pause=false
bin=""
selected=()
while (($#)); do
  case $1 in
    --help) usage; exit 0 ;;
    --pause) pause=true ;;
    --bin)
      (($# >= 2)) || { usage >&2; exit 2; }
      bin=$2
      shift
      ;;
    *)
      if [[ " ${programs[*]} " != *" $1 "* ]]; then
        echo "tour.sh: no program called '$1'" >&2
        usage >&2
        exit 2
      fi
      selected+=("$1")
      ;;
  esac
  shift
done

if [[ -n $bin ]]; then
  [[ $bin == /* ]] || bin=$PWD/$bin
  if [[ ! -x $bin/tallylock ]]; then
    echo "tour.sh: no built programs in $bin" >&2
    exit 2
  fi
fi
cd "$(dirname "$0")"

# Every tool the tour uses, and the Debian package that brings it.
missing=()
packages=()
need() { # TOOL PACKAGE
  if ! command -v "$1" >/dev/null; then
    missing+=("$1")
    [[ " ${packages[*]} " == *" $2 "* ]] || packages+=("$2")
  fi
}
if [[ -z $bin ]]; then
  need cmake cmake
  need make make
  command -v c++ >/dev/null || command -v clang++ >/dev/null || need g++ g++
fi
need ps procps
need ipcs util-linux
need ss iproute2
need more util-linux
if ((${#missing[@]})); then
  echo "tour.sh: missing ${missing[*]}; install with: sudo apt-get install ${packages[*]}" >&2
  exit 1
fi

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
# ends a stopped process, such as spawnwait's parent held below.
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
  rm -f "${server_out:-}"
}
# The programs, in the tour's order. This runs as a background job of the
# script, which only waits for it: so the traps below run there, in wait,
# and never in the middle of a command substitution, where bash 5.2 can
# fail to parse them.
tour() {
  # Ctrl-C reaches every process of the terminal's foreground group; here
  # the script's own traps alone act on it, and end what the tour started.
  trap '' INT TERM
  if [[ -z $bin ]]; then
    cmake --preset default >/dev/null
    cmake --build --preset default >/dev/null
    bin=build/bin
  fi

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

  begin() { # NAME: true when the tour runs NAME; waits for Enter with --pause
    wants "$@" || return 1
    if $pause && [[ -t 0 ]]; then
      read -r -p "-- press Enter for $1 " _
    fi
  }

  # Polls a condition ten times a second until it holds or `seconds` pass.
  wait_for() {
    local seconds=$1
    shift
    for ((tenths = 0; tenths < seconds * 10; tenths++)); do
      if "$@"; then return 0; fi
      sleep 0.1
    done
    return 1
  }

  tree() { ps -o pid,ppid,stat,args --forest --pid "$1" --ppid "$1"; }
  children_in_state() { # STATE PID: all five children of PID are in STATE
    [[ $(ps -o stat= --ppid "$2" | grep -c "^$1") == 5 ]]
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

  if begin tallylock; then
    heading "tallylock 100000: five processes add to a shared counter under a semaphore; the total is exact"
    "$bin/tallylock" 100000 &
    program=$!
    counting() {
      [[ $(ps -o pid= --ppid "$program" | wc -l) == 5 && $(nattch $counter) == 11 ]]
    }
    if wait_for 5 counting; then
      step "while the five workers count:"
      { tree $program; ipc_line -m $counter; ipc_line -s $guard; } | view
      notice "11 attachments on the 4-byte counter, not 6: the parent's own, the copy each worker"
      notice "inherits through fork, and the one each worker makes itself with shmat"
    fi
    wait $program
    step "after the run:"
    { ipc_line -m $counter; ipc_line -s $guard; } | view
    notice "the semaphore set is gone (the parent removed it); the segment stays, attached by no one"
  fi

  if begin tallybare; then
    heading "tallybare 300: the same without a guard; updates are lost and the total falls short of 1500"
    output=$("$bin/tallybare" 300)
    printf '%s\n' "$output"
    total=$(awk '/^padre total= / { print $3 }' <<<"$output")
    if [[ $total =~ ^[0-9]+$ ]]; then
      notice "$((1500 - total)) of the 1500 additions were lost: a worker that read the counter before"
      notice "another's store wrote back an old value plus one"
    fi
  fi

  if begin gridflip; then
    heading "gridflip: a thread flips a grid until cancelled; cancellation waits for a whole pass"
    "$bin/gridflip" &
    program=$!
    two_threads() { [[ $(ps -o nlwp= -p "$program") -eq 2 ]]; }
    if wait_for 1 two_threads; then
      step "while the worker flips the grid:"
      ps -L -o pid,lwp,stat,args -p $program | view
      notice "one process, two threads (LWP): main asleep for its second, the worker flipping the grid"
    fi
    wait $program
  fi

  if begin spawnwait; then
    heading "spawnwait 3: five children sleep ten seconds and exit with 3; the parent waits in creation order"
    "$bin/spawnwait" 3 &
    program=$!
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
  fi

  if begin tubenote; then
    heading "tubenote: a parent sends \"Greetings\" to its child through a pipe"
    # The parent does not wait for its child; cat ends only when both have
    # closed the pipe, so the child's line comes before the next heading.
    "$bin/tubenote" | cat
  fi

  if begin tubechain; then
    heading "tubechain: ps writes into a pipe that more reads, as a shell pipeline does"
    # more outlives ps, which the shell waits for; cat waits for both.
    "$bin/tubechain" | cat
    notice "the launcher became ps and its child became more; the pipe joined ps's descriptor 1"
    notice "to more's descriptor 0 for the few milliseconds ps ran, too short to show here"
  fi

  port_listening() { [[ -n $(ss -Htln 'sport = :7734') ]]; }
  if begin stephost stepguest; then
    heading "stephost / stepguest: a TCP server answers each byte with the next one until X"
    if port_listening; then
      echo "port 7734 is already in use; skipping this pair"
    else
      # Unattended, both programs print when they end, at nearly the same
      # moment: keep the server's lines apart and show them after the client's.
      "$bin/stephost" >"$server_out" &
      program=$!
      if wait_for 5 port_listening; then
        step "the server waits in accept:"
        ss -tln 'sport = :7734' | view
        notice "port 7734 in LISTEN: the kernel completes connections by itself and queues up to 5"
        "$bin/stepguest" || true
        wait $program || true
        step "stephost's side:"
        cat "$server_out"
        time_wait() { [[ -n $(ss -Htan state time-wait 'sport = :7734') ]]; }
        if wait_for 5 time_wait; then
          step "after the exchange:"
          ss -tan '( sport = :7734 or dport = :7734 )' | view
          notice "the server closed first, after X, so its end of the connection waits in TIME-WAIT"
          notice "for a minute; SO_REUSEADDR lets the next stephost bind the port meanwhile"
        fi
      fi
    fi
  fi

  # The server has attached the mailbox and sleeps in its polling loop, the
  # only place it blocks after attaching.
  mailbox_ready() {
    [[ $(nattch $mailbox) -ge 1 && $(ps -o stat= -p "$program") == S* ]] 2>/dev/null
  }
  if begin boardhost boardguest; then
    heading "boardhost / boardguest: a server and a client exchange the alphabet in shared memory"
    "$bin/boardhost" &
    program=$!
    if wait_for 5 mailbox_ready; then
      step "the server polls the segment:"
      ipc_line -m $mailbox | view
      notice "27 bytes, one attachment: boardhost, which reads byte 0 once a second"
      "$bin/boardguest" || true
      wait $program || true
      step "after the exchange:"
      ipc_line -m $mailbox | view
      notice "the segment stays, attached by no one, with \"*\" in byte 0; a second boardguest shows it:"
      "$bin/boardguest" || true
    fi
  fi
}

server_out=$(mktemp)
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
# A background job's standard input is /dev/null unless given: --pause
# reads from the terminal.
tour <&0 &
wait $!
