#!/usr/bin/env bash
# Runs one exercise's checks on a student's build of its programs, inside
# the lab that exercise.sh made for it (lab.sh --once: its own PID, IPC,
# network and mount namespaces, gone when this script ends). Prints on
# standard output, first "plan M", then one line per check:
#   ok<TAB>WHAT           or   FAIL<TAB>WHAT<TAB>EVIDENCE
# The student's programs write only into files of this script's own, and
# each runs under limits (prlimit): CPU seconds, processes, memory, the
# size of a file it writes; each run also has a wall-time deadline.
#
#   mistakes/judge.sh NAME BUILD     (BUILD: the folder of the built programs)
#   mistakes/judge.sh --show NAME BUILD
#
# With --show it runs, instead, the tour's part for the mistake with the
# student's build, under the same limits: the run and the kernel's view,
# without the tour's change and notes, which would tell the fault.
#
# The checks are the exercise's, checks_NAME in mistakes/NAME.sh, beside
# the probe (symptom_NAME) that the tour's part for that mistake runs too.
# shellcheck disable=SC2317 # functions that wait_for and the checks call by name
set -euo pipefail

show=false
if [[ ${1:-} == --show ]]; then
  show=true
  shift
fi
if (($# != 2)); then
  echo "usage: $0 [--show] NAME BUILD" >&2
  exit 2
fi
exercise=$1
build=$2
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Everything below kills what it finds in its PID namespace and removes
# every System V object in its IPC namespace: only in a lab of its own.
read -r -d '' first </proc/1/cmdline || true
if [[ $first != "ipc-tour-lab separate "* || ${IPC_TOUR_LAB:-} != separate ]]; then
  echo "judge.sh: runs only in a lab of its own (lab.sh --once)" >&2
  exit 2
fi

# The limits of every run of the student's programs.
cpu_seconds=10
processes=64
memory_bytes=$((512 * 1024 * 1024))
file_bytes=$((1024 * 1024))
run_seconds=8

mistake_names=()
for diff in mistakes/*.diff; do
  diff=${diff##*/}
  mistake_names+=("${diff%.diff}")
done
selected=()
calls=false
asking=false
pause=false
bin=$build
# shellcheck source-path=SCRIPTDIR/..
{
  source tour/helpers.sh
  source tour/tallylock.sh
  source tour/stephost.sh
  source tour/boardhost.sh
  source tour/mistakes.sh
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The programs run here, where a file they make goes with the rest.
cd "$work"
: >"$work/continued"
group=$(ps -o pgid= -p $$)
group=${group// /}

# The programs as the probes and runs start them: each one through
# prlimit, which sets the limits and then becomes the program itself.
changed=$work/bin
mkdir "$changed"
for program in "$build"/*; do
  [[ -f $program && -x $program ]] || continue
  printf '#!/bin/sh\nexec prlimit --cpu=%s --nproc=%s --as=%s --fsize=%s --core=0 -- %q "$@"\n' \
    $cpu_seconds $processes $memory_bytes $file_bytes "$program" >"$changed/${program##*/}"
  chmod +x "$changed/${program##*/}"
done

# The lab's processes that are not this script, its callers (the lab's
# PID 1 and lab.sh's bash), or the pipeline that asks.
strays() {
  local self=$BASHPID
  ps -e -o pid=,ppid= | awk -v root=$$ -v self="$self" '
    { parent[$1] = $2 }
    END {
      for (up = root; up in parent; up = parent[up]) above[up]
      for (pid in parent) {
        up = pid
        while (up in parent && up != self && up != root) up = parent[up]
        if (up != self && pid != root && pid != 1 && !(pid in above)) print pid
      }
    }'
}
no_strays() { [[ -z $(strays) ]]; }

# Before each check: nothing of an earlier one. Frozen first, so that a
# swarm cannot grow while it is killed.
fresh_lab() {
  local pids
  for _ in 1 2 3 4 5; do
    pids=$(strays)
    [[ -n $pids ]] || break
    # shellcheck disable=SC2086 # a list of PIDs
    kill -STOP $pids 2>/dev/null || true
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
    wait_for 2 no_strays || true
  done
  ipcrm --all 2>/dev/null || true
}

# How a run ended, in words: its status, or the signal or limit that ended it.
ending() { # STATUS
  case $1 in
    137) echo "killed by SIGKILL: the wall-time limit, ${seconds:-$run_seconds} s" ;;
    152) echo "killed by SIGXCPU: the CPU limit, ${cpu_seconds} s" ;;
    153) echo "killed by SIGXFSZ: the output limit, $((file_bytes / 1024)) KiB" ;;
    *)
      if (($1 > 128)) && kill -l "$(($1 - 128))" >/dev/null 2>&1; then
        echo "killed by SIG$(kill -l "$(($1 - 128))")"
      else
        echo "status $1"
      fi
      ;;
  esac
}

# What the checks report; while the plan is counted, nothing runs.
counting=false
checks=0
result() { # ok|FAIL WHAT [EVIDENCE]
  if [[ $1 == ok ]]; then
    printf 'ok\t%s\n' "$2"
  else
    # One line: the evidence's own line ends become "; ".
    printf 'FAIL\t%s\t%s\n' "$2" "$(printf '%s' "${3:-}" | paste -sd '\001' | sed 's/\x01/; /g')"
  fi
}

# The symptom is gone: the probe of the tour's part finds nothing (status
# 1). WHAT names what a sound program does instead.
check_symptom() { # WHAT PROBE [ARG...]
  if $counting; then checks=$((checks + 1)); return; fi
  # The probe sets globals of its own (status, program, look, ...): none
  # of them may be a local here, which bash would let it change.
  local what=$1 probe=symptom_${2//-/_} judged=0
  shift 2
  fresh_lab
  evidence=""
  "$probe" "$@" >/dev/null 2>&1 </dev/null || judged=$?
  if ((judged == 1)); then
    result ok "$what"
  else
    result FAIL "$what" "${evidence:-the probe could not tell}"
  fi
}

# The first of EXPECT... that the run's output (OUT: stdout and stderr, in
# the order written) or status does not meet, in words; nothing if all do.
#   status=N  line=REGEX  lines=N:REGEX  server_line=REGEX  server_status=N
unmet() { # OUT STATUS SERVER_OUT SERVER_STATUS EXPECT...
  local out=$1 status=$2 server_out=$3 server_status=$4 expect count regex found
  shift 4
  for expect in "$@"; do
    case $expect in
      status=*)
        ((status == ${expect#status=})) ||
          { echo "$(ending "$status"), not status ${expect#status=}"; return; } ;;
      server_status=*)
        ((server_status == ${expect#server_status=})) ||
          { echo "the server: $(ending "$server_status"), not status ${expect#server_status=}"; return; } ;;
      line=*)
        regex=${expect#line=}
        grep -q -E -e "$regex" "$out" ||
          { echo "no line like /$regex/ in its output; its last line: $(tail -n 1 "$out")"; return; } ;;
      server_line=*)
        regex=${expect#server_line=}
        grep -q -E -e "$regex" "$server_out" ||
          { echo "no line like /$regex/ in the server's output; its last line: $(tail -n 1 "$server_out")"; return; } ;;
      lines=*)
        count=${expect#lines=}
        regex=${count#*:}
        count=${count%%:*}
        found=$(grep -c -E -e "$regex" "$out" || true)
        ((found == count)) ||
          { echo "$found lines like /$regex/ in its output, not $count"; return; } ;;
    esac
  done
}

# A server of check_run's ($program) listens on port 7734, or has attached
# its mailbox, or has ended.
server_ready() { port_listening || [[ $(nattch "$mailbox") -ge 1 ]] 2>/dev/null || ended "$program"; }

# The program still does what it is meant to: COMMAND run RUNS times (one
# by default), each run's output and status as EXPECT... says. With
# --server, that program is started first and given until it is ready
# (listening on port 7734, or polling its mailbox) before COMMAND, its
# client, runs; it must then end by itself. Each run has run_seconds, or
# those that --seconds gives.
check_run() { # WHAT [--runs N] [--seconds S] [--server PROGRAM] EXPECT... -- COMMAND [ARG...]
  if $counting; then checks=$((checks + 1)); return; fi
  local what=$1 runs=1 seconds=$run_seconds server="" expect=() run status server_status program missing
  shift
  while [[ $1 != -- ]]; do
    case $1 in
      --runs) runs=$2; shift 2 ;;
      --seconds) seconds=$2; shift 2 ;;
      --server) server=$2; shift 2 ;;
      *) expect+=("$1"); shift ;;
    esac
  done
  shift
  fresh_lab
  : >"$work/server-out"
  for ((run = 1; run <= runs; run++)); do
    status=0 server_status=0
    if [[ -n $server ]]; then
      "$changed/$server" >"$work/server-out" 2>&1 </dev/null &
      program=$!
      wait_for 5 server_ready || true
    fi
    missing=""
    [[ -x $changed/$1 ]] || missing=$1
    if [[ -n $missing ]]; then
      result FAIL "$what" "no program $missing was built"
      return
    fi
    # The most processes seen at once, to tell a swarm that met the limit.
    timeout -s KILL "$seconds" "$changed/$1" "${@:2}" >"$work/run-out" 2>&1 </dev/null &
    local command=$! most=0 now
    while ! ended "$command"; do
      now=$(strays | wc -l)
      ((now <= most)) || most=$now
      nap 0.1
    done
    wait "$command" || status=$?
    if [[ -n $server ]]; then
      # A server whose client failed may wait for ever.
      ((status == 0)) || kill -KILL "$program" 2>/dev/null || true
      wait_for 5 ended "$program" || kill -KILL "$program" 2>/dev/null || true
      wait "$program" 2>/dev/null || server_status=$?
    fi
    # What the program started and did not wait for ends by itself, and
    # may still be writing.
    wait_for 5 no_strays || true
    evidence=$(unmet "$work/run-out" "$status" "$work/server-out" "$server_status" "${expect[@]}")
    if [[ -n $evidence ]]; then
      ((most < processes - 8)) ||
        evidence+="; up to $most processes at once: the limit of $processes processes"
      ((runs == 1)) || evidence="run $run of $runs: $evidence"
      result FAIL "$what" "$evidence"
      return
    fi
  done
  result ok "$what"
}

# Nothing is left by the last run: no process, no System V object but
# those with the keys given (what the project's own program leaves), no
# socket but those waiting in TIME-WAIT (the kernel's, for a minute).
check_left() { # WHAT [KEY...]
  if $counting; then checks=$((checks + 1)); return; fi
  local what=$1 left objects sockets
  shift
  wait_for 5 no_strays || true
  left=$(strays)
  if [[ -n $left ]]; then
    result FAIL "$what" "$(wc -w <<<"$left") process(es) still running; ps: $(
      # shellcheck disable=SC2086 # a list of PIDs
      ps -o pid=,ppid=,stat=,wchan:20=,args= -p "$(echo $left | tr ' ' ,)" | head -n 3 | tr -s ' ')"
    return
  fi
  objects=$(ipcs -m -s -q | awk -v keep=" $* " '$1 ~ /^0x/ && index(keep, " " $1 " ") == 0')
  if [[ -n $objects ]]; then
    result FAIL "$what" "ipcs: $(head -n 3 <<<"$objects" | tr -s ' ')"
    return
  fi
  sockets=$(ss -Htan | awk '$1 != "TIME-WAIT"')
  if [[ -n $sockets ]]; then
    result FAIL "$what" "ss -tan: $(head -n 3 <<<"$sockets" | tr -s ' ')"
    return
  fi
  result ok "$what"
}

if $show; then
  mistake() { # NAME COMMAND: the part's heading, and the student's build
    changed=$work/bin
    part_stops=0
    heading "$1: $2"
    step "your build ($build)"
  }
  notice() { :; }
  "mistake_${exercise//-/_}"
  exit 0
fi

# What a folder's programs still do, in the words of several exercises.
check_counter_counts() {
  check_run "tallylock 20000 counts to 100000 and ends with status 0" \
    --seconds 30 status=0 'lines=1:^padre total= 100000$' -- tallylock 20000
}
check_mailbox_exchanged() {
  check_run "the alphabet read and marked, both ending with status 0" \
    --server boardhost status=0 server_status=0 'lines=1:^abcdefghijklmnopqrstuvwxyz$' \
    'server_line=^el client leyo la memoria$' 'server_line=^\*bcdefghijklmnopqrstuvwxyz$' \
    -- boardguest
}

checker=checks_${exercise//-/_}
if ! declare -F "$checker" >/dev/null; then
  echo "judge.sh: no checks for '$exercise'" >&2
  exit 2
fi
counting=true
"$checker"
counting=false
echo "plan $checks"
"$checker"
