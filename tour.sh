#!/usr/bin/env bash
# A guided run of the suite: builds its programs, then runs each program in turn,
# servers before their clients, and shows beside each program's own output
# what the kernel holds at the moment that matters: the process tree, the
# System V objects, the sockets; with --calls, also the system calls behind
# each program, as strace shows them. Lines of the tour's own start with
# "==", "--", "   |" (what ps, ipcs, ss or strace print) or "   *" (what to
# notice), with --ask also "   ?" (a question) and "   =" (its verdict),
# and, but for those of "   |", fit in 80 columns; every other line is a
# program's own output. Runs unattended too (but for --ask);
# nothing is left running afterwards, even when interrupted. See --help.
#
# Each program's part is a function tour_NAME in tour/NAME.sh (a server's
# part runs its client too); what the parts share is in tour/helpers.sh.
# With --mistakes it runs, instead, programs with a classic mistake planted
# (mistakes/NAME.diff, built apart by mistakes/build.sh): tour/mistakes.sh.
set -euo pipefail

programs=(tallylock tallybare gridflip spawnwait tubenote tubechain
          stephost stepguest boardhost boardguest)
# The mistakes of --mistakes, in their order (mistakes/NAME.diff each),
# with what each changes.
mistake_list="\
tallylock-no-undo                 no SEM_UNDO; the guard's holder killed
tallylock-guard-of-two            the guard starts at 2; a plain decrement
counter-worker-returns            a worker that does not exit after counting
counter-printf-before-fork        a line printed before the forks, unflushed
gridflip-async-cancel             asynchronous cancellation
spawnwait-no-wait                 a parent that ends without waiting
tubenote-pipe-after-fork          the pipe made after the fork
tubechain-reader-keeps-write-end  more keeps the pipe's write end open
stephost-no-reuseaddr             no SO_REUSEADDR; the server run again
boardhost-busy-wait               the poll without its sleep
boardhost-no-volatile             the same, and byte 0 read without volatile
boardhost-removes-at-once         the segment removed right after shmat"
mistake_names=()
while read -r name _; do mistake_names+=("$name"); done <<<"$mistake_list"

# The name it is run by: ./tour.sh in a clone, ipc-tour where installed.
me=${IPC_TOUR_AS:-./tour.sh}
lab=./lab.sh
[[ $me == ./tour.sh ]] || lab=ipc-lab

usage() {
  cat <<EOF2
usage: $me [--ask] [--pause] [--calls] [--host] [--bin DIR] [NAME...]
       $me --mistakes [--ask] [--pause] [--calls] [--host] [NAME...]

Runs the suite's programs one at a time, each with a short view of what
the kernel holds while it runs (ps, ipcs, ss) and a line that says what to
notice there. In a clone it first builds them into build/bin (where build/
cannot be written, it takes those already built there). It runs in a lab
of its own (see $lab --help) wherever one can be made, so it never meets
another run.

  NAME...    run only these programs (in the tour's order); a server or its
             client runs the pair. Names:
$(fold -s -w 60 <<<"${programs[*]}" | sed 's/ *$//; s/^/             /')
  --ask      before each view worth predicting, ask what it will show (a
             number, a state's letter or a word of a list) and read the
             answer from the terminal; after the view, say whether it was
             right, and at the end how many were
  --calls    also run each program once more under strace and show the
             system calls behind it, with the command that shows them
  --pause    wait for Enter before each program (only on a terminal)
  --host     run on the host, not in a lab: ipcs, ss and ps in another
             terminal then see the tour's objects, and other runs meet them
  --bin DIR  run the programs already built in DIR; do not build
  --mistakes run, instead, programs with a classic mistake planted (each
             built apart with g++ the first time, in build/mistakes in a
             clone, else in ~/.cache/ipc-tour), each with the view that
             shows the fault; NAME is then a program or one of these:
    ${mistake_list//$'\n'/$'\n'    }
  --help     show this text

Ctrl-C stops the tour and every process it started.
EOF2
}
# Bad use: one line, and where to look.
bad_use() { echo "${me##*/}: $1 (see $me --help)" >&2; exit 2; }

pause=false
asking=false
mistakes=false
calls=false
host=false
bin=""
selected=()
while (($#)); do
  case $1 in
    --help) usage; exit 0 ;;
    --pause) pause=true ;;
    --ask) asking=true ;;
    --calls) calls=true ;;
    --host) host=true ;;
    --mistakes) mistakes=true ;;
    --bin)
      (($# >= 2)) || bad_use "--bin needs a DIR"
      bin=$2
      shift
      ;;
    -*) bad_use "unknown option '$1'" ;;
    *) selected+=("$1") ;;
  esac
  shift
done
for name in "${selected[@]}"; do
  if [[ " ${programs[*]} " == *" $name "* ]]; then continue; fi
  if $mistakes && [[ " ${mistake_names[*]} " == *" $name "* ]]; then continue; fi
  if $mistakes; then
    bad_use "no program or mistake called '$name'"
  fi
  bad_use "no program called '$name'"
done

# The answers come from the terminal: without one, nothing runs.
if $asking && [[ ! -t 0 ]]; then
  echo "${me##*/}: --ask needs a terminal to read answers from" >&2
  exit 2
fi

if [[ -n $bin ]]; then
  [[ $bin == /* ]] || bin=$PWD/$bin
  if [[ ! -x $bin/tallylock ]]; then
    echo "${me##*/}: no built programs in $bin" >&2
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
# shellcheck source-path=SCRIPTDIR
source tour/build.sh
if [[ -z $bin ]] && clone_builds .; then
  need cmake cmake
  need make make
  command -v c++ >/dev/null || command -v clang++ >/dev/null || need g++ g++
fi
need ps procps
need ipcs util-linux
need ss iproute2
need more util-linux
if $calls; then need strace strace; fi
if $mistakes; then
  need "${CXX:-c++}" g++
  command -v git >/dev/null || need patch patch
fi
if ((${#missing[@]})); then
  echo "${me##*/}: missing ${missing[*]}; install them as root: apt-get install ${packages[*]}" >&2
  exit 1
fi

# The programs: built here first (the programs only: seconds), or those
# already built where this clone cannot be written. Inside the clone, shown
# as build/bin.
if [[ -z $bin ]]; then
  bin=$(programs_of_clone tour.sh .) || exit 1
fi
bin=${bin#"$PWD/"}

# --mistakes: each changed program is built apart the first time it runs,
# in build/mistakes/NAME (or, installed or where build/ cannot be written,
# in the user's cache), never over the programs that run without it.
if $mistakes; then
  # shellcheck source-path=SCRIPTDIR
  source tour/mistakes.sh
  if [[ -z ${IPC_TOUR_MISTAKES:-} ]]; then
    IPC_TOUR_MISTAKES=build/mistakes
    if ! clone_builds .; then
      IPC_TOUR_MISTAKES=${XDG_CACHE_HOME:-$HOME/.cache}/ipc-tour/mistakes
    fi
    build_said "${me##*/}: building the changed programs where needed, in ${IPC_TOUR_MISTAKES/#"$HOME"/\~}"
    for name in "${mistake_names[@]}"; do
      if chosen "$name"; then
        mistakes/build.sh "$name" "$IPC_TOUR_MISTAKES/$name" >/dev/null || exit 1
      fi
    done
  fi
  export IPC_TOUR_MISTAKES
fi

# A lab of its own (see lab.sh), wherever one can be made: the tour then
# never meets another run on this machine, nor the user's own objects.
# The lab ends with the tour, however it ends (killed too), and takes
# with it anything the tour's cleanup did not reach.
if ! $host && [[ -z ${IPC_TOUR_OWN_LAB:-} ]]; then
  if why=$(./lab.sh --check 2>&1); then
    again=()
    if $pause; then again+=(--pause); fi
    if $asking; then again+=(--ask); fi
    if $calls; then again+=(--calls); fi
    if $mistakes; then again+=(--mistakes); fi
    IPC_TOUR_OWN_LAB=1 exec ./lab.sh --once --bin "$bin" ./tour.sh "${again[@]}" --bin "$bin" \
      "${selected[@]}"
  fi
  printf '%s\n' "no lab can be made here, so the tour runs on the host, beside any other run (${why#lab.sh: })" |
    fold -s -w 75 | sed 's/ *$//; s/^/   * /'
fi

# shellcheck source-path=SCRIPTDIR
{
  source tour/helpers.sh
  source tour/tallylock.sh
  source tour/tallybare.sh
  source tour/gridflip.sh
  source tour/spawnwait.sh
  source tour/tubenote.sh
  source tour/tubechain.sh
  source tour/stephost.sh
  source tour/boardhost.sh
}

# The programs, in the tour's order. This runs as a background job of the
# script, which only waits for it: so the traps below run there, in wait,
# and never in the middle of a command substitution, where bash 5.2 can
# fail to parse them.
tour() {
  # Ctrl-C reaches every process of the terminal's foreground group; here
  # the script's own traps alone act on it, and end what the tour started.
  trap '' INT TERM HUP
  # strace needs ptrace, which a container or a security module may forbid.
  if $calls && ! strace -o /dev/null true >/dev/null 2>&1; then
    notice "strace cannot trace processes here (ptrace is not allowed); the tour" \
      "goes on without the calls"
    calls=false
  fi
  group=$(ps -o pgid= -p $$)
  group=${group// /}
  if [[ -n ${IPC_TOUR_OWN_LAB:-} ]]; then
    notice "the tour runs in a lab of its own (new namespaces): its processes," \
      "System V objects and port 7734 are apart from every other run's, and" \
      "PIDs count from 1 in it, so ps shows small ones (PID 1 holds the lab" \
      "open; a PPID below 10 is the tour's own shell); --host runs it on the" \
      "host instead"
  fi

  if $mistakes; then
    tour_mistakes
    score
    return
  fi
  if begin tallylock; then tour_tallylock; fi
  if begin tallybare; then tour_tallybare; fi
  if begin gridflip; then tour_gridflip; fi
  if begin spawnwait; then tour_spawnwait; fi
  if begin tubenote; then tour_tubenote; fi
  if begin tubechain; then tour_tubechain; fi
  if begin stephost stepguest; then tour_stephost; fi
  if begin boardhost boardguest; then tour_boardhost; fi
  score
}

# Files of the run: the server's output, the traces, the guard set's id.
work=$(mktemp -d)
trap cleanup EXIT
# After Ctrl-C the shell's prompt starts a line of its own.
trap 'cleanup; echo; exit 130' INT
trap 'cleanup; exit 143' TERM
# A closed terminal.
trap 'cleanup; exit 129' HUP
# Ctrl-Z stops every process of the terminal's foreground group, and fg or
# bg continues them all, the programs the tour holds with SIGSTOP too. This
# notes each continue with a line in $work/continued, so that a part can
# tell that a stop came in its middle (see stops in tour/helpers.sh). A
# process of its own: a trap on CONT in the script would end its waits
# early, and bash loses a SIGTERM that comes with the SIGCONT (as kill %1
# sends both to a stopped job). It ends within a second of the script.
note_continues() {
  trap 'echo >>"$work/continued"' CONT
  while kill -0 $$ 2>/dev/null; do
    sleep 1 &
    wait $! || true
  done
}

: >"$work/continued"
note_continues &
# A background job's standard input is /dev/null unless given: --pause
# and --ask read from the terminal.
tour <&0 &
wait $!
