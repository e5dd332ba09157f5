#!/usr/bin/env bash
# Times the exercises: list, start and hint, then for each exercise a check
# of the copy as started (which fails) and one with the project's own files
# put back (which passes), with each check's status.
# Usage: bench/exercises.sh [NAME...]     (default: every exercise)
# Works in a folder of its own under /tmp and removes it; each check runs
# in a lab of its own, as exercise.sh always does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exercise=$root/exercise.sh

now() { date +%s.%N; }
# Seconds since START, to a tenth.
since() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.1f", e - s }'; }

# The names given, or every exercise's.
names() {
  if (($#)); then printf '%s\n' "$@"; else "$exercise" list | awk '{ print $1 }'; fi
}

# Puts back the files of the project that the exercise's diff changes.
restore() { # NAME DIR
  local file
  while read -r file; do
    cp "$root/$file" "$2/"
  done < <(sed -n 's|^+++ b/||p' "$root/mistakes/$1.diff")
}

main() {
  local start name dir status_as_started status_restored seconds_as_started
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  start=$(now)
  "$exercise" list >/dev/null
  echo "list: $(since "$start") s"
  start=$(now)
  "$exercise" start tubenote-pipe-after-fork "$work/first" >/dev/null
  echo "start: $(since "$start") s"
  start=$(now)
  "$exercise" hint "$work/first" >/dev/null
  echo "hint: $(since "$start") s"
  printf '%-34s %8s %7s %8s %7s\n' exercise started status restored status
  while read -r name; do
    dir=$work/$name
    start=$(now)
    "$exercise" start "$name" "$dir" >/dev/null
    start=$(now)
    status_as_started=0
    "$exercise" check "$dir" >/dev/null 2>&1 || status_as_started=$?
    seconds_as_started=$(since "$start")
    restore "$name" "$dir"
    start=$(now)
    status_restored=0
    "$exercise" check "$dir" >/dev/null 2>&1 || status_restored=$?
    printf '%-34s %7ss %7d %7ss %7d\n' "$name" "$seconds_as_started" "$status_as_started" \
      "$(since "$start")" "$status_restored"
  done < <(names "$@")
}

main "$@"
