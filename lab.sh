#!/usr/bin/env bash
# A lab of one's own: a shell, or one command, in private namespaces, so that
# the System V keys (1678, 1234, 5678), TCP port 7734 and the process list
# are the lab's own. Runs of other users, and the user's own runs outside,
# are neither seen nor touched.
#
# The lab is made with util-linux's unshare: a user namespace in which the
# user keeps their own id, with IPC, network, PID and mount namespaces, and
# a /proc of its own. Its first process (PID 1 inside) brings the loopback
# interface up with iproute2's ip, then stays to adopt and reap orphans,
# and ends once it is alone: when the last process of the lab has ended,
# its namespaces, and every System V object made in them, are gone. Every
# terminal enters the lab with nsenter, the first one too, so a second
# ./lab.sh from another terminal joins the same lab. See --help.
set -euo pipefail

usage() {
  cat <<EOF
usage: ./lab.sh [--new] [--no-build] [COMMAND [ARG...]]
       ./lab.sh --check

Opens your shell, or runs COMMAND, in a lab: private System V keys, a
private network with its own loopback (port 7734 is the lab's own), a
private process list and /proc. Inside you are still yourself, and the
programs of build/bin come first on PATH. With COMMAND, ends with its status.

A second ./lab.sh while you have a lab open joins that lab, so a server in
one terminal and its client in another find each other. When the last
process of a lab ends, the lab and everything in it are gone.

  --new       open a separate lab, one that no other ./lab.sh joins
  --no-build  do not build first
  --check     only say whether a lab can be made here (status 0 if so)
  --help      show this text
EOF
}

new=false
build=true
check=false
while (($#)); do
  case $1 in
    --help) usage; exit 0 ;;
    --new) new=true ;;
    --no-build) build=false ;;
    --check) check=true ;;
    --) shift; break ;;
    -*) echo "lab.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
    *) break ;;
  esac
  shift
done

root=$(cd "$(dirname "$0")" && pwd)

# Every tool the lab uses, and the Debian package that brings it.
missing=()
packages=()
need() { # TOOL PACKAGE
  if ! command -v "$1" >/dev/null; then
    missing+=("$1")
    [[ " ${packages[*]} " == *" $2 "* ]] || packages+=("$2")
  fi
}
need unshare util-linux
need nsenter util-linux
need flock util-linux
need ip iproute2
need pgrep procps
if $build && ! $check; then
  need cmake cmake
  need make make
fi
if ((${#missing[@]})); then
  echo "lab.sh: missing ${missing[*]}; install with: sudo apt-get install ${packages[*]}" >&2
  exit 1
fi

namespaces=(--map-current-user --ipc --net --pid --fork --mount-proc --propagation private)

# A probe, so that a refusal is explained before anything runs. Nothing is
# run on the host in a lab's place.
if ! why=$(unshare "${namespaces[@]}" true 2>&1); then
  echo "lab.sh: cannot make private namespaces here (${why:-unshare failed}); enable" \
    "unprivileged user namespaces: sysctl user.max_user_namespaces > 0;" \
    "kernel.unprivileged_userns_clone=1 where the kernel has that switch;" \
    "kernel.apparmor_restrict_unprivileged_userns=0 on Ubuntu" >&2
  exit 1
fi
$check && exit 0

# One ./lab.sh at a time finds or makes the lab, and builds: two started at
# once join one lab and do not build over each other.
exec 9<"$root/lab.sh"
flock 9

if $build; then
  if ! (cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default >/dev/null); then
    echo "lab.sh: the build failed; see: cmake --build --preset default" >&2
    exit 1
  fi
fi

kind=shared
$new && kind=own
# A lab is joined only from where it was made: the user's terminals share
# one set of System V keys, and a test suite in namespaces of its own
# never joins the user's lab. The lab's first process carries the number
# of its makers' IPC namespace in its name.
origin=$(stat -L -c %i /proc/self/ns/ipc)
lab=""
if ! $new; then
  lab=$(pgrep -n -u "$(id -u)" -f "^ipc-tour-lab shared $origin " || true)
fi

if [[ -z $lab ]]; then
  # PID 1 of the lab. The kernel sends it only the signals it handles, it
  # adopts every orphan of the lab (bash reaps them as they end), and when
  # it ends the kernel kills the rest of the lab: so it stays until it is
  # the only process left. A process ID beyond its own last nap's shows
  # that a member has come, even one already gone; a first member gets ten
  # seconds to come.
  holder='
    joined=false
    for ((tick = 0; ; tick++)); do
      sleep 0.2 &
      nap=$!
      wait $nap
      read -r last </proc/sys/kernel/ns_last_pid
      ((last > nap)) && joined=true
      processes=(/proc/[0-9]*)
      if ((${#processes[@]} == 1)) && { $joined || ((tick >= 50)); }; then exit 0; fi
    done'
  # --keep-caps lets ip use the capabilities that the lab's user namespace
  # gives; the shells and commands that join it get none. The starter is
  # left to init, in a session of its own: no terminal signal reaches it.
  starter=$(
    setsid unshare "${namespaces[@]}" --keep-caps -- bash -c \
      'ip link set lo up && exec -a "ipc-tour-lab $0" bash -c "$1"' "$kind $origin" "$holder" \
      </dev/null >/dev/null 2>&1 &
    echo $!
  )
  # Seconds, on a busy machine.
  for ((tenths = 0; tenths < 300; tenths++)); do
    lab=$(pgrep -P "$starter" -f '^ipc-tour-lab ' || true)
    [[ -n $lab ]] && break
    sleep 0.1
  done
  if [[ -z $lab ]]; then
    echo "lab.sh: the lab did not start (unshare or ip link set lo up failed)" >&2
    exit 1
  fi
fi
flock -u 9
exec 9<&-

if (($# == 0)); then
  set -- "${SHELL:-/bin/sh}"
  # bash's prompt says so too, whatever its start-up files set.
  export PROMPT_COMMAND='PS1="(lab) ${PS1#"(lab) "}"'
  echo "lab.sh: a shell in a lab ($kind, PID $lab outside): its own System V keys, port 7734 and" \
    "processes; 'exit' leaves it" >&2
else
  # A command run alone: its status is the lab's, 128 + N after signal N.
  set -- bash -c 'trap : INT QUIT; "$@"' ipc-tour-lab "$@"
fi

# Ctrl-C reaches every process of the terminal's foreground group. Here
# only the lab's program acts on it: nsenter ignores it and so survives to
# pass the program's status on, and the program gets the default back.
trap '' INT QUIT
exec nsenter --target "$lab" --user --ipc --net --pid --mount --preserve-credentials \
  --wd="$PWD" -- env --default-signal=INT,QUIT IPC_TOUR_LAB="$kind" PATH="$root/build/bin:$PATH" "$@"
