#!/usr/bin/env bash
# Exercises: each classic mistake of the tour's --mistakes (mistakes/NAME.diff)
# given to the student as a program to repair, and judged by what the kernel
# shows when it runs (ps, ipcs, ss, /proc/PID/fd), not by its text alone.
#
#   ./exercise.sh list                     the exercises
#   ./exercise.sh start NAME [DIR]         a folder with the faulty program
#   ./exercise.sh check [--tap] [DIR...]   build, run in a lab, judge
#   ./exercise.sh show [DIR] | hint [DIR] | report [--csv] DIR...
#
# An exercise is data beside its diff in mistakes/: NAME.task (its summary
# on line 1, then the task), NAME.hints (hints between lines of "%"), and
# NAME.sh with the probe that the tour's part runs too (symptom_NAME) and
# the checks (checks_NAME), which mistakes/judge.sh runs in a lab of its own
# under limits. The student's code never runs outside a lab, nor as root:
# run by root, check runs it as the folder's owner. Installed, it is run as
# ipc-exercise. See --help.
set -euo pipefail

# The name it is run by: ./exercise.sh in a clone, ipc-exercise where installed.
me=${IPC_TOUR_AS:-./exercise.sh}
said=${me##*/}
root=$(cd "$(dirname "$0")" && pwd)

# Seconds a whole check may take in its lab; spawnwait's children sleep 10 s.
check_seconds=150

usage() {
  cat <<EOF
usage: $me list
       $me start NAME [DIR]
       $me check [--tap] [DIR...]
       $me show [DIR]
       $me hint [DIR]
       $me report [--csv] DIR...
       $me COMMAND --help

Exercises: a program of the suite with a classic mistake planted, to
repair; a check judges the repair by what the kernel shows when it runs.

  list     the exercises: name, program, what goes wrong
  start    make DIR (default ./ipc-exercises/NAME) with the program's
           sources, the mistake in them, and the task (task.txt)
  check    build DIR's sources (default: this folder), run them in a lab
           of their own under limits, and say which checks pass
  show     run DIR's build as the tour does, with the kernel's view
  hint     the next of the exercise's hints
  report   check each DIR and print one line for each, for a teacher
  --help   show this text
EOF
}

# Bad use: one line that says what, and where to look.
bad_use() { # MESSAGE [WHERE TO LOOK]
  echo "$said: $1 (${2:-see $me --help})" >&2
  exit 2
}

# The exercises, in the order of their files.
names=()
for diff in "$root"/mistakes/*.diff; do
  diff=${diff##*/}
  names+=("${diff%.diff}")
done
known() { [[ " ${names[*]} " == *" $1 "* ]]; }

# The program an exercise runs, as the tour names it.
program_of() { # NAME
  case $1 in
    counter-*) echo tallybare ;;
    *) echo "${1%%-*}" ;;
  esac
}
# The source folder that NAME's diff changes.
folder_of() { # NAME
  sed -n '/^+++ b\//{s|^+++ b/\([^/]*\)/.*|\1|p;q}' "$root/mistakes/$1.diff"
}

# list: one line per exercise.
list() {
  local name summary
  for name in "${names[@]}"; do
    summary=$(head -n 1 "$root/mistakes/$name.task")
    printf '%-32s %-9s %s\n' "$name" "$(program_of "$name")" "$summary"
  done
}

# start: the program's source folder with the mistake applied, and the task.
start() { # NAME [DIR]
  local name=$1 dir=${2:-ipc-exercises/$1} folder stage apply
  folder=$(folder_of "$name")
  if command -v git >/dev/null; then
    apply=(git apply)
  elif command -v patch >/dev/null; then
    apply=(patch -p1 -s --batch --no-backup-if-mismatch)
  else
    echo "$said: neither git nor patch is installed; as root: apt-get install patch" >&2
    exit 1
  fi
  # A student's work is never overwritten: mkdir fails on what exists.
  if [[ -e $dir || -L $dir ]]; then
    echo "$said: $dir already exists; it is left as it is (choose another DIR)" >&2
    exit 1
  fi
  mkdir -p "$(dirname "$dir")"
  if ! mkdir "$dir" 2>/dev/null; then
    echo "$said: cannot make $dir" >&2
    exit 1
  fi
  stage=$(mktemp -d)
  # shellcheck disable=SC2064 # the folder is known now
  trap "rm -rf '$stage'" EXIT
  cp -R "$root/$folder" "$stage/"
  # git apply must not take a clone around the folder for its repository.
  if ! (cd "$stage" && GIT_CEILING_DIRECTORIES=$stage "${apply[@]}") \
    <"$root/mistakes/$name.diff" >"$stage/log" 2>&1; then
    rmdir "$dir"
    echo "$said: the mistake does not apply to $folder/:" >&2
    cat "$stage/log" >&2
    exit 1
  fi
  cp -R "$stage/$folder/." "$dir/"
  echo "$name" >"$dir/.exercise"
  task_text "$name" >"$dir/task.txt"
  echo "$dir"
}

# The task, with the commands that exist here: the clone's, by their
# full path, since the folder may be anywhere, or the installed ones. A
# paragraph that names them is wrapped again to 78 columns.
task_text() { # NAME
  local lab_command=$root/lab.sh exercise_command=$root/exercise.sh
  if [[ $me != ./exercise.sh ]]; then
    lab_command=ipc-lab
    exercise_command=$me
  fi
  awk -v lab="$lab_command" -v exercise="$exercise_command" '
    function wrap(text,    words, n, i, line) {
      n = split(text, words, " ")
      line = words[1]
      for (i = 2; i <= n; i++) {
        if (length(line) + 1 + length(words[i]) > 78) { print line; line = words[i] }
        else line = line " " words[i]
      }
      print line
    }
    BEGIN { RS = ""; FS = "\n" }
    NR > 1 { print "" }
    /@(LAB|EXERCISE)@/ && !/^ / {
      gsub(/\n/, " "); gsub(/@LAB@/, lab); gsub(/@EXERCISE@/, exercise); wrap($0); next
    }
    { print }' "$root/mistakes/$1.task"
}

# The exercise of folder DIR, or bad use.
exercise_of() { # DIR
  local name
  [[ -d $1 ]] || bad_use "no such folder: $1"
  [[ -r $1/.exercise ]] || bad_use "$1 is not an exercise folder, with no .exercise" "$me start makes one"
  name=$(<"$1/.exercise")
  known "$name" || bad_use "$1 holds an unknown exercise, '$name'"
  echo "$name"
}

# The folder's programs, built with the project's warnings and
# optimisation into DIR/build: those the project's folder makes (its
# add_executable lines), each from NAME.cpp and the folder's sources that
# are no program of their own (counter.cpp). The log: DIR/build/build.log.
build() { # DIR NAME
  local dir=$1 folder source program programs others=() status=0
  folder=$(folder_of "$2")
  mapfile -t programs < <(sed -n 's/^add_executable(\([a-z]*\) .*/\1/p' "$root/$folder/CMakeLists.txt")
  mkdir -p "$dir/build"
  : >"$dir/build/build.log"
  for source in "$dir"/*.cpp; do
    [[ -e $source && " ${programs[*]} " != *" $(basename "$source" .cpp) "* ]] || continue
    others+=("$source")
  done
  for program in "${programs[@]}"; do
    rm -f "$dir/build/$program"
    if [[ ! -f $dir/$program.cpp ]]; then
      echo "$program.cpp: no such file (the exercise's files keep their names)" >>"$dir/build/build.log"
      status=1
      continue
    fi
    echo "c++ -std=c++20 -O2 -g -Wall -Wextra -Wpedantic -pthread -o build/$program $program.cpp ${others[*]##*/}" \
      >>"$dir/build/build.log"
    timeout 120 "${CXX:-c++}" -std=c++20 -O2 -g -DNDEBUG -Wall -Wextra -Wpedantic -pthread \
      -o "$dir/build/$program" "$dir/$program.cpp" "${others[@]}" >>"$dir/build/build.log" 2>&1 ||
      status=1
  done
  return $status
}

# judge DIR: the folder's build, its checks in a lab, a line in its
# history; what it found, for check and report, on standard output:
#   attempt K | refused<TAB>WHY | build-failed | plan M | ok<TAB>WHAT | FAIL<TAB>WHAT<TAB>WHY
# Run by root, it runs itself as the folder's owner, never as root.
judge() { # DIR
  local dir=$1 name owner login why attempt out passed=0 checks=0 line
  name=$(exercise_of "$dir")
  dir=$(cd "$dir" && pwd)
  if ((EUID == 0)); then
    owner=$(stat -c %u "$dir")
    if ((owner == 0)); then
      printf 'refused\t%s is root'"'"'s: a check never runs the code as root; give the folder to the student (chown -R), or check it as a normal user\n' "$dir"
      return
    fi
    login=$(id -nu "$owner" 2>/dev/null || true)
    local groups=(--clear-groups)
    [[ -z $login ]] || groups=(--init-groups)
    if ! setpriv --reuid="$owner" --regid="$(stat -c %g "$dir")" "${groups[@]}" \
      test -r "$root/mistakes/judge.sh" -a -w "$dir"; then
      printf 'refused\t%s cannot read %s or write %s: put the suite where its users can read it\n' \
        "${login:-user $owner}" "$root" "$dir"
      return
    fi
    setpriv --reuid="$owner" --regid="$(stat -c %g "$dir")" "${groups[@]}" \
      env HOME="$(getent passwd "$owner" | cut -d: -f6 || echo /)" IPC_TOUR_AS="$me" \
      "$root/exercise.sh" _judge "$dir"
    return
  fi
  if ! why=$("$root/lab.sh" --check 2>&1); then
    why=$(head -n 1 <<<"$why")
    printf 'refused\tno lab can be made here (%s); the code is never run outside one\n' \
      "${why#*: }"
    return
  fi
  attempt=$(($(wc -l 2>/dev/null <"$dir/history" || echo 0) + 1))
  echo "attempt $attempt"
  if ! build "$dir" "$name"; then
    echo "build-failed"
    echo "$(date '+%F %T') build failed" >>"$dir/history"
    return
  fi
  out=$(mktemp)
  timeout -s KILL "$check_seconds" "$root/lab.sh" --once --bin "$dir/build" \
    "$root/mistakes/judge.sh" "$name" "$dir/build" >"$out" 2>"$out.err" || true
  checks=$(awk '$1 == "plan" { print $2; exit }' "$out")
  while IFS= read -r line; do
    case $line in
      ok$'\t'*) passed=$((passed + 1)); echo "$line" ;;
      FAIL$'\t'*) echo "$line" ;;
    esac
  done <"$out"
  # Checks that a hung run kept from their turn.
  local done_checks
  done_checks=$(grep -c -E $'^(ok|FAIL)\t' "$out" || true)
  if [[ -z $checks ]]; then
    checks=1
    printf 'FAIL\tthe checks ran\t%s\n' "$(head -n 1 "$out.err" || echo "no output")"
  fi
  for ((line = done_checks; line < checks && checks > 1; line++)); do
    printf 'FAIL\tcheck %d\tnot run: the checks took more than %d s\n' $((line + 1)) "$check_seconds"
  done
  rm -f "$out" "$out.err"
  echo "plan $checks"
  echo "$(date '+%F %T') $passed of $checks" >>"$dir/history"
}

# A line of a check's report, folded to 80 columns under its first words.
folded() { # INDENT TEXT
  fold -s -w $((80 - $1)) <<<"$2" | sed 's/ *$//' | sed "2,\$s/^/$(printf '%*s' "$1" '')/"
}

# check: the report of each folder, plain or as TAP.
check() { # [--tap] DIR...
  local tap=false dirs=() dir name line passed checks number=0 status=0 results
  while (($#)); do
    case $1 in
      --tap) tap=true ;;
      --help) check_help; exit 0 ;;
      -*) bad_use "unknown option '$1' for check" ;;
      *) dirs+=("$1") ;;
    esac
    shift
  done
  ((${#dirs[@]})) || dirs=(.)
  for dir in "${dirs[@]}"; do exercise_of "$dir" >/dev/null; done
  $tap && echo "TAP version 13"
  local tap_lines=() label=""
  for dir in "${dirs[@]}"; do
    name=$(exercise_of "$dir")
    ((${#dirs[@]} == 1)) || label="$dir: "
    results=$(judge "$dir")
    passed=0 checks=0
    if [[ $results == refused$'\t'* ]]; then
      echo "$said: ${results#refused$'\t'}" >&2
      status=1
      if $tap; then tap_lines+=("not ok $((++number)) - ${label}checked # ${results#refused$'\t'}"); fi
      continue
    fi
    if ! $tap; then
      echo "$name: attempt $(awk '$1 == "attempt" { print $2 }' <<<"$results") ($dir)"
    fi
    if grep -qx build-failed <<<"$results"; then
      status=1
      if $tap; then
        tap_lines+=("not ok $((++number)) - ${label}the build")
        while IFS= read -r line; do tap_lines+=("# $line"); done < <(first_errors "$dir")
      else
        echo "FAIL  the build; the compiler's first errors:"
        first_errors "$dir" | sed 's/^/      /'
        echo "$name: the build failed, so no check ran"
      fi
      continue
    fi
    checks=$(awk '$1 == "plan" { print $2 }' <<<"$results")
    while IFS=$'\t' read -r verdict what why; do
      case $verdict in
        ok)
          passed=$((passed + 1))
          if $tap; then tap_lines+=("ok $((++number)) - $label$what"); else folded 6 "ok    $what"; fi
          ;;
        FAIL)
          if $tap; then
            tap_lines+=("not ok $((++number)) - $label$what" "# $why")
          else
            folded 6 "FAIL  $what"
            folded 6 "      $why"
          fi
          ;;
      esac
    done <<<"$results"
    ((passed == checks)) || status=1
    $tap || echo "$name: $passed of $checks checks passed"
  done
  if $tap; then
    echo "1..$number"
    ((${#tap_lines[@]} == 0)) || printf '%s\n' "${tap_lines[@]}"
  fi
  return $status
}

# The compiler's first errors, or the log's first lines.
first_errors() { # DIR
  local log=$1/build/build.log
  if grep -q 'error' "$log"; then
    grep -m 8 -E 'error|^ +\| ' "$log" | head -n 8
  else
    grep -v '^c++ ' "$log" | head -n 8
  fi
}

# report: one line per folder, or CSV.
report() { # [--csv] DIR...
  local csv=false dirs=() dir name results passed checks attempts status=0
  while (($#)); do
    case $1 in
      --csv) csv=true ;;
      --help) report_help; exit 0 ;;
      -*) bad_use "unknown option '$1' for report" ;;
      *) dirs+=("$1") ;;
    esac
    shift
  done
  ((${#dirs[@]})) || bad_use "report needs the folders to check"
  for dir in "${dirs[@]}"; do exercise_of "$dir" >/dev/null; done
  $csv && echo "folder,exercise,passed,checks,attempts"
  for dir in "${dirs[@]}"; do
    name=$(exercise_of "$dir")
    results=$(judge "$dir")
    passed=$(grep -c $'^ok\t' <<<"$results" || true)
    checks=$(awk '$1 == "plan" { print $2 }' <<<"$results")
    [[ -n $checks ]] || checks=0
    attempts=$(wc -l 2>/dev/null <"$dir/history" || echo 0)
    if [[ $results == refused$'\t'* ]]; then
      echo "$said: $dir: ${results#refused$'\t'}" >&2
    fi
    ((checks > 0 && passed == checks)) || status=1
    if $csv; then
      printf '"%s",%s,%d,%d,%d\n' "${dir//\"/\"\"}" "$name" "$passed" "$checks" "$attempts"
    else
      printf '%s  %s  %d of %d  attempts %d\n' "$dir" "$name" "$passed" "$checks" "$attempts"
    fi
  done
  return $status
}

# show: the tour's part for the exercise, with the student's build, in a lab.
show() { # [DIR]
  local dir=${1:-.} name
  name=$(exercise_of "$dir")
  dir=$(cd "$dir" && pwd)
  if ((EUID == 0)); then
    echo "$said: show runs the code, and never as root; run it as the folder's owner" >&2
    exit 1
  fi
  if ! why=$("$root/lab.sh" --check 2>&1); then
    echo "$said: no lab can be made here (${why#*: }); the code is never run outside one" >&2
    exit 1
  fi
  if ! build "$dir" "$name"; then
    echo "$said: the build failed; the compiler's first errors:" >&2
    first_errors "$dir" >&2
    exit 1
  fi
  timeout -s KILL "$check_seconds" "$root/lab.sh" --once --bin "$dir/build" \
    "$root/mistakes/judge.sh" --show "$name" "$dir/build"
}

# hint: the next hint, counted in DIR/.hints.
hint() { # [DIR]
  local dir=${1:-.} name shown count
  name=$(exercise_of "$dir")
  count=$(grep -c -x '%' "$root/mistakes/$name.hints" || true)
  count=$((count + 1))
  shown=$(cat "$dir/.hints" 2>/dev/null || echo 0)
  [[ $shown =~ ^[0-9]+$ ]] || shown=0
  ((shown < count)) && shown=$((shown + 1))
  echo "$shown" >"$dir/.hints"
  echo "hint $shown of $count:"
  awk -v want="$shown" '/^%$/ { n++; next } n + 1 == want' "$root/mistakes/$name.hints"
  ((shown < count)) || echo "(that is the last hint)"
}

check_help() {
  cat <<EOF
usage: $me check [--tap] [DIR...]

Builds the exercise's sources in each DIR (default: this folder) into
DIR/build with the project's warnings, runs them in a lab of their own
(private process list, System V keys, network) under limits, and runs
the exercise's checks: the fault's symptom is gone, the program still
does all it did, and nothing is left. One line per check, ok or FAIL
with what the kernel or the program showed, then "NAME: N of M checks
passed"; a line in DIR/history counts the attempts.

Limits of each run: 10 s of CPU, 64 processes, 512 MiB of memory, 1 MiB
written to a file, 8 s of wall time (20 s for spawnwait). Run by root, the code runs as the
folder's owner, never as root.

  --tap    print TAP version 13 instead, for a teacher's scripts (prove)
  --help   show this text

Status: 0 when every check passed, 1 when one failed or the build failed,
2 for bad use.
EOF
}

report_help() {
  cat <<EOF
usage: $me report [--csv] DIR...

Checks each DIR as check does (the same lab and limits; as root, as the
folder's owner) and prints one line per folder: the folder, the
exercise, the checks passed of all, and the attempts in its history.

  --csv    print comma-separated values with a heading, for a spreadsheet
  --help   show this text

Status: 0 when every folder passed, 1 otherwise, 2 for bad use.
EOF
}

start_help() {
  cat <<EOF
usage: $me start NAME [DIR]

Makes DIR (default ./ipc-exercises/NAME) with the source folder of the
exercise's program, the mistake in it, and task.txt, which says what to
do; prints DIR. An existing DIR is never touched. Names: $me list.
EOF
}

simple_help() { # COMMAND: list, show and hint
  case $1 in
    list) echo "usage: $me list"; echo; echo "One line per exercise: its name, its program, what goes wrong." ;;
    show) echo "usage: $me show [DIR]"; echo
      echo "Builds DIR (default: this folder) and runs it in a lab as the tour's part"
      echo "for its mistake does, with the kernel's view (ps, ipcs, ss), so that you"
      echo "see your own program there." ;;
    hint) echo "usage: $me hint [DIR]"; echo
      echo "Prints the next of the exercise's hints (DIR: default this folder)." ;;
  esac
}

(($#)) || bad_use "which command: list, start, check, show, hint or report?"
command=$1
shift
if [[ ${1:-} == --help ]]; then
  case $command in
    list | show | hint) simple_help "$command"; exit 0 ;;
    start) start_help; exit 0 ;;
    check) check_help; exit 0 ;;
    report) report_help; exit 0 ;;
  esac
fi
case $command in
  --help | help) usage ;;
  list)
    (($# == 0)) || bad_use "list takes no arguments"
    list
    ;;
  start)
    (($# >= 1 && $# <= 2)) || bad_use "start needs a NAME, and takes a DIR"
    [[ $1 != -* ]] || bad_use "unknown option '$1' for start"
    known "$1" || bad_use "no exercise called '$1'" "$me list names them"
    start "$@"
    ;;
  check) check "$@" ;;
  report) report "$@" ;;
  show | hint)
    (($# <= 1)) || bad_use "$command takes one DIR at most"
    [[ ${1:-} != -* ]] || bad_use "unknown option '$1' for $command"
    "$command" "$@"
    ;;
  _judge) judge "$1" ;; # run as the folder's owner by root's check
  *) bad_use "no command '$command'" ;;
esac
