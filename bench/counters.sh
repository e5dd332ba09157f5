#!/usr/bin/env bash
# Measures the counter programs, for comparing later changes:
#   tallylock: guarded increments per second (5 x N increments per run)
#   tallybare: the share of the 5 x N updates that were lost
# Usage: bench/counters.sh [build/bin]
# Runs in a lab of its own (../lab.sh --new), so that it never meets a
# live demo's counter and semaphore set, nor another run; where no lab can
# be made, it says why and runs nothing.
set -euo pipefail
bin=${1:-build/bin}

if [[ -z "${IPC_TOUR_BENCH_IN_LAB:-}" ]]; then
  IPC_TOUR_BENCH_IN_LAB=1 exec "$(dirname "$0")/../lab.sh" --new --no-build "$0" "$@"
fi

now() { date +%s.%N; }
total_of() { sed -n 's/^padre total= //p'; }

echo "tallylock: guarded increments per second"
printf '%10s %12s %10s %14s\n' N increments seconds "per second"
for n in 10000 100000 400000; do
  start=$(now)
  total=$("$bin/tallylock" "$n" | total_of)
  end=$(now)
  awk -v n="$n" -v t="$total" -v s="$start" -v e="$end" 'BEGIN {
    d = e - s; printf "%10d %12d %10.3f %14.0f%s\n", n, t, d, t / d, (t == 5 * n ? "" : "  WRONG TOTAL") }'
done

echo
echo "tallybare: updates lost"
printf '%10s %12s %10s %10s\n' N total lost share
for n in 100 300 1000 3000; do
  total=$("$bin/tallybare" "$n" | total_of)
  awk -v n="$n" -v t="$total" 'BEGIN {
    lost = 5 * n - t; printf "%10d %12d %10d %9.1f%%\n", n, t, lost, 100 * lost / (5 * n) }'
done
