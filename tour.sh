#!/usr/bin/env bash
# Configures, builds and runs every program of the suite once, each under a
# one-line heading of what it shows. Servers are started in the background
# before their clients; nothing is left running afterwards. Runs unattended
# too (no terminal needed).
set -euo pipefail
cd "$(dirname "$0")"

cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
bin=build/bin

heading() { printf '\n== %s ==\n' "$*"; }

# Stops whatever server this script left in the background.
server=""
stop_server() {
  if [[ -n "$server" ]] && kill -0 "$server" 2>/dev/null; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  server=""
}
trap stop_server EXIT

# Polls a condition ten times a second for up to five seconds.
wait_for() {
  for _ in $(seq 50); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# A TCP port in the LISTEN state (0A) in /proc/net/tcp; the port is hex.
port_listening() {
  awk -v port="$(printf ':%04X' "$1")" \
    'NR > 1 && substr($2, length($2) - 4) == port && $4 == "0A" { found = 1 } END { exit !found }' \
    /proc/net/tcp
}

# The server has attached the mailbox (key 5678, nattch >= 1) and sleeps in
# its polling loop, the only place it blocks after attaching.
mailbox_ready() {
  local pid=$1
  ipcs -m | awk '$1 == "0x0000162e" && $6 >= 1 { found = 1 } END { exit !found }' &&
    [[ "$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)" == S ]]
}

heading "tallylock 100000: five processes add to a shared counter under a semaphore; the total is exact"
"$bin/tallylock" 100000

heading "tallybare 300: the same without a guard; updates are lost and the total falls short of 1500"
"$bin/tallybare" 300

heading "gridflip: a thread flips a grid until cancelled; cancellation waits for a whole pass"
"$bin/gridflip"

heading "spawnwait 3: five children sleep ten seconds and exit with 3; the parent waits in creation order"
"$bin/spawnwait" 3

heading "tubenote: a parent sends \"Greetings\" to its child through a pipe"
# The parent does not wait for its child; cat ends only when both have
# closed the pipe, so the child's line comes before the next heading.
timeout 10 "$bin/tubenote" | cat

heading "tubechain: ps writes into a pipe that more reads, as a shell pipeline does"
# more outlives ps, which the shell waits for; cat waits for both.
timeout 30 "$bin/tubechain" | cat

heading "stephost / stepguest: a TCP server answers each byte with the next one until X"
if port_listening 7734; then
  echo "port 7734 is already in use; skipping this pair"
else
  # Unattended, both programs print when they end, at nearly the same moment:
  # keep the server's lines apart and show them after the client's.
  server_out=$(mktemp)
  "$bin/stephost" >"$server_out" &
  server=$!
  if wait_for port_listening 7734; then
    timeout 10 "$bin/stepguest" || true
    timeout 10 tail --pid="$server" -f /dev/null || true
  fi
  stop_server
  echo "-- stephost's side:"
  cat "$server_out"
  rm -f "$server_out"
fi

heading "boardhost / boardguest: a server and a client exchange the alphabet in shared memory"
"$bin/boardhost" &
server=$!
if wait_for mailbox_ready "$server"; then
  timeout 10 "$bin/boardguest" || true
  timeout 10 tail --pid="$server" -f /dev/null || true
fi
stop_server
