#!/usr/bin/env bash
# A lab of one's own: a shell, or one command, in private namespaces, so that
# the System V keys (1678, 1234, 5678), TCP port 7734 and the process list
# are the lab's own. Runs of other users, and the user's own runs outside,
# are neither seen nor touched.
#
# The lab is made with util-linux's unshare: a user namespace in which the
# user keeps their own id, with IPC, network, PID and mount namespaces, and
# a /proc of its own (root, where user namespaces are switched off, makes
# the others without one). Its first process (PID 1 inside) brings the loopback
# interface up with iproute2's ip, then stays to adopt and reap orphans,
# and ends once it is alone: when the last process of the lab has ended,
# its namespaces, and every System V object made in them, are gone. Every
# terminal enters the lab with nsenter, the first one too, so a second
# ./lab.sh from another terminal joins the same lab. Installed, it is run
# as ipc-lab, with the installed programs (--bin), and builds nothing.
# See --help.
set -euo pipefail

# The name it is run by: ./lab.sh in a clone, ipc-lab where installed
# (which gives --bin itself: the installed programs, nothing to build).
me=${IPC_TOUR_AS:-./lab.sh}
said=${me##*/}
clone=false
[[ $me != ./lab.sh ]] || clone=true

# What the lab says, on standard error, wrapped to 80 columns.
say() { printf '%s\n' "$said: $*" | fold -s -w 78 | sed 's/ *$//; 2,$s/^/  /' >&2; }
# Bad use: one line, and where to look.
bad_use() { say "$1 (see $me --help)"; exit 2; }

usage() {
  local build_options="" build_usage=""
  if $clone; then
    build_usage=" [--no-build | --bin DIR]"
    build_options="
  --no-build  do not build first: use what is in build/bin
  --bin DIR   put the programs in DIR on PATH instead; do not build"
  fi
  cat <<EOF
usage: $me [--new]$build_usage [COMMAND [ARG...]]
       $me --once$build_usage COMMAND [ARG...]
       $me --check

Opens your shell, or runs COMMAND, in a lab: private System V keys, a
private network with its own loopback (port 7734 is the lab's own), a
private process list and /proc. Inside you are still yourself, and the
programs come first on PATH. With COMMAND, ends with its status.

A second $me while you have a lab open joins that lab, so a server in
one terminal and its client in another find each other. Typed inside a
lab, $me runs in that lab. When the last process of a lab ends, the
lab and everything in it are gone; if your shell leaves processes running
in it, $said says so, and how to end them. Leaving a lab that another of
your terminals is still in, it says so: the lab ends when the last leaves.

  --new       open a separate lab, one that no other $me joins (inside
              a lab too: it then sees none of that lab's objects)
  --once      run COMMAND in a separate lab of its own that ends with it:
              whatever COMMAND leaves running there is killed when it
              ends, or when this $me is killed (the tour's lab)$build_options
  --check     only say whether a lab can be made here (status 0 if so)
  --help      show this text
EOF
}

new=false
once=false
build=true
check=false
bin=""
while (($#)); do
  case $1 in
    --help) usage; exit 0 ;;
    --new) new=true ;;
    --once) new=true; once=true ;;
    --no-build) build=false ;;
    --bin)
      (($# >= 2)) || bad_use "--bin needs a DIR"
      bin=$2
      build=false
      shift
      ;;
    --check) check=true ;;
    --) shift; break ;;
    -*) bad_use "unknown option '$1'" ;;
    *) break ;;
  esac
  shift
done
if $once && (($# == 0)); then
  bad_use "--once needs a COMMAND"
fi

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
# shellcheck source-path=SCRIPTDIR
source "$root/tour/build.sh"
if $build && ! $check && clone_builds "$root"; then
  need cmake cmake
  need make make
fi
if ((${#missing[@]})); then
  say "missing ${missing[*]}; install them as root: apt-get install ${packages[*]}"
  exit 1
fi

# Already in a lab (lab.sh noted the lab's IPC namespace on the way in,
# and this process still shares it): a plain ./lab.sh runs here, in that
# lab, rather than in a new one nested inside it that would not see the
# lab's objects.
here=false
if ! $new && ! $check &&
   [[ -n ${IPC_TOUR_LAB_IPC:-} && $IPC_TOUR_LAB_IPC == "$(stat -L -c %i /proc/self/ns/ipc)" ]]; then
  here=true
fi

namespaces=(--ipc --net --pid --fork --mount-proc --propagation private)
# A user namespace in which the user keeps their own id gives an ordinary
# user the right to make the others. Root may make them without one, which
# it must where user namespaces are switched off.
user_namespace=(--map-current-user)

# A probe, so that a refusal is explained before anything runs. Nothing is
# run on the host in a lab's place.
if ! $here && ! why=$(unshare "${user_namespace[@]}" "${namespaces[@]}" true 2>&1); then
  if ((EUID == 0)) && unshare "${namespaces[@]}" true 2>/dev/null; then
    user_namespace=()
  else
    say "cannot make private namespaces here (${why:-unshare failed}); enable" \
      "unprivileged user namespaces: sysctl user.max_user_namespaces > 0;" \
      "kernel.unprivileged_userns_clone=1 where the kernel has that switch;" \
      "kernel.apparmor_restrict_unprivileged_userns=0 on Ubuntu"
    exit 1
  fi
fi
if $check; then
  if ((${#user_namespace[@]})); then
    echo "$said: a lab can be made here (private namespaces in a user namespace of yours)"
  else
    echo "$said: a lab can be made here (as root, without a user namespace)"
  fi
  exit 0
fi

# One ./lab.sh at a time finds or makes the lab, and builds: two started at
# once join one lab and do not build over each other. The lock is held
# until the new member is inside the lab (it lets go itself, there), and
# a lab's PID 1 ends only while it holds the lock: so no lab can end
# between being found and being entered.
exec 9<"$root/lab.sh"
flock 9

if [[ -n $bin ]]; then
  [[ $bin == /* ]] || bin=$PWD/$bin
elif $build; then
  bin=$(programs_of_clone "$said" "$root") || exit 1
else
  bin=$root/build/bin
fi

# The programs come first on PATH (once, in a lab inside a lab).
path=$bin:${PATH#"$bin:"}

shell=false
if (($# == 0)); then
  shell=true
  set -- "${SHELL:-/bin/sh}"
  # The prompt says so: bash whatever its start-up files set, sh and dash
  # through PS1 from the environment (which bash -c drops: see below).
  export PROMPT_COMMAND='PS1="(lab) ${PS1#"(lab) "}"'
  if ((EUID == 0)); then export PS1='(lab) # '; else export PS1='(lab) $ '; fi
fi

if $here; then
  flock -u 9
  exec 9<&-
  if $shell; then
    say "already in a lab, so this shell runs in it; 'exit' leaves this shell"
  fi
  exec env PATH="$path" "$@"
fi

kind=joinable
$new && kind=separate
# A lab is joined only from where it was made: the user's terminals share
# one set of System V keys, and a test suite in namespaces of its own
# never joins the user's lab. The lab's first process carries the number
# of its makers' IPC namespace in its name, and holds that namespace open
# (its descriptor 5): the kernel gives a namespace's number to a new one
# once the old is gone, and a lab's makers may all be gone.
origin=$(stat -L -c %i /proc/self/ns/ipc)
lab=""
if ! $new; then
  lab=$(pgrep -n -u "$(id -u)" -f "^ipc-tour-lab joinable $origin " || true)
fi

# True once the starter's child, which unshare forked into the lab's PID
# namespace, runs as the lab's PID 1 ("ipc-tour-lab ..."); it sets lab.
# Polled: read from /proc by the shell itself, as pgrep -P would find it,
# with no process started for each look.
lab_started() { # STARTER
  local children=() child name
  if [[ ! -e /proc/$1/task/$1/children ]]; then # a kernel without the list
    lab=$(pgrep -P "$1" -f '^ipc-tour-lab ' || true)
    [[ -n $lab ]]
    return
  fi
  # The list has no line end, so read reports the end of the file.
  read -r -a children 2>/dev/null <"/proc/$1/task/$1/children" || true
  for child in "${children[@]}"; do
    # The command line's first word, up to its NUL byte.
    name=""
    read -r -d '' name 2>/dev/null <"/proc/$child/cmdline" || true
    if [[ $name == "ipc-tour-lab "* ]]; then
      lab=$child
      return 0
    fi
  done
  return 1
}

joined=true
if [[ -z $lab ]]; then
  joined=false
  # PID 1 of the lab. The kernel sends it only the signals it handles, it
  # adopts every orphan of the lab (bash reaps them as they end), and when
  # it ends the kernel kills the rest of the lab: so it stays until it is
  # the only process left. It starts no process of its own while it
  # waits, so a process ID beyond the last one at its start shows that a
  # member has come, even one already gone; a first member gets ten
  # seconds to come. Its naps wait on a pipe that never has data, its
  # descriptor 3: it holds the write end itself. A lab for one command
  # (--once) ends with it instead: there descriptor 3 is the read end of a
  # pipe whose only write end is this lab.sh's descriptor 8 (nsenter's,
  # where nsenter takes this process's place), which the command does not
  # inherit. When this process ends, by itself or killed, the read sees the
  # end of the file and PID 1 exits, so the kernel kills all that the
  # command left in the lab. Descriptor 4 is its own opening of lab.sh,
  # for the lock; 5, its makers' IPC namespace, held open.
  # shellcheck disable=SC2016 # the lab's PID 1 expands its own script
  holder='
    read -r first </proc/sys/kernel/ns_last_pid
    joined=false
    for ((tick = 0; ; tick++)); do
      read -r -t 0.2 -u 3
      (($? == 1)) && exit 0
      read -r last </proc/sys/kernel/ns_last_pid
      ((last > first)) && joined=true
      processes=(/proc/[0-9]*)
      if ((${#processes[@]} == 1)) && { $joined || ((tick >= 50)); } && flock -n 4; then
        exit 0
      fi
    done'
  # --keep-caps lets ip use the capabilities that the lab's user namespace
  # gives; the shells and commands that join it get none. The starter is
  # left to init, in a session of its own: no terminal signal reaches it.
  # Its script comes in its environment, so that ps shows a short line.
  exec {nap}<> <(:)
  if $once; then
    # shellcheck disable=SC2094 # the pipe's two ends, each opened alone
    exec {tie}</proc/self/fd/$nap 8>/proc/self/fd/$nap {nap}<&-
    nap=$tie
  fi
  # shellcheck disable=SC2016 # the inner bash expands its own arguments
  starter=$(
    IPC_TOUR_LAB_HOLDER=$holder setsid unshare "${user_namespace[@]}" "${namespaces[@]}" \
      --keep-caps -- bash -c 'ip link set lo up && exec -a "ipc-tour-lab $0" bash -c "$1"' \
      "$kind $origin" 'eval "$IPC_TOUR_LAB_HOLDER"' 3<&"$nap" {nap}<&- 4<"$root/lab.sh" \
      5</proc/self/ns/ipc 8>&- 9<&- \
      </dev/null >/dev/null 2>&1 &
    echo $!
  )
  exec {nap}<&-
  # Seconds, on a busy machine.
  for ((tenths = 0; tenths < 300; tenths++)); do
    lab_started "$starter" && break
    sleep 0.1
  done
  if [[ -z $lab ]]; then
    say "the lab did not start (unshare or ip link set lo up failed)"
    exit 1
  fi
fi

# A lab made without a user namespace (by root) is entered without one.
enter=(--target "$lab" --ipc --net --pid --mount)
if [[ $(readlink "/proc/$lab/ns/user") != "$(readlink /proc/self/ns/user)" ]]; then
  enter+=(--user --preserve-credentials)
fi
# Inside, the user has no right to look at the lab's PID 1: note its IPC
# namespace now, for a ./lab.sh typed in the lab.
lab_ipc=$(stat -L -c %i "/proc/$lab/ns/ipc")

# Ctrl-C reaches every process of the terminal's foreground group. Here
# only the lab's program acts on it: nsenter ignores it and so survives to
# pass the program's status on, and the program gets the default back.
trap '' INT QUIT

# The terminal's settings as they were before entering. A program that the
# lab's end kills (the lab's PID 1 killed, the shell, its nsenter) leaves
# them as it had set them: bash's line editor, for one, leaves -icanon
# -echo, where nothing typed is shown and Enter is not seen. This process
# stays outside the lab, where nothing that ends the lab reaches it, and
# puts them back when nsenter returns, however the lab ended.
saved=""
if [[ -t 0 ]]; then
  saved=$(stty -g 2>/dev/null) || saved=""
fi

# Puts the terminal's settings back as they were before entering.
restore_terminal() {
  [[ -n $saved ]] || return 0
  # The terminal's foreground process group may now be one of the lab's
  # (the shell's job, or an ended one), and this process is in the
  # background then: changing the settings from there stops it with
  # SIGTTOU, unless it ignores that signal, which stty inherits.
  trap '' TTOU
  stty "$saved" 2>/dev/null || true
  trap - TTOU
}

if ! $shell; then
  # A command run alone: its status is the lab's, 128 + N after signal N.
  # nsenter waits for its child and stops itself when the child stops
  # (Ctrl-Z), then continues the child when it is continued itself (fg,
  # bg). Stopped by Ctrl-Z's SIGTSTP as well, it would stop a second time
  # on fg, once it saw its child's stop: so nsenter alone ignores SIGTSTP,
  # and the command gets the default back. This process, where it waits,
  # stops as any: the shell sees its job stop through it.
  # Off a terminal there are no settings to put back, and nsenter takes
  # this process's place, so that its caller sees the signal itself.
  # shellcheck disable=SC2016,SC2054 # the inner bash expands its own arguments; INT,QUIT,TSTP is one
  command=(nsenter "${enter[@]}" --wd="$PWD" -- env --default-signal=INT,QUIT,TSTP
    IPC_TOUR_LAB="$kind" IPC_TOUR_LAB_IPC="$lab_ipc" PATH="$path"
    bash -c 'flock -u 9; exec 8>&- 9<&-; trap : INT QUIT; "$@"' ipc-tour-lab "$@")
  if [[ -z $saved ]]; then
    trap '' TSTP
    exec "${command[@]}"
  fi
  status=0
  (
    trap '' TSTP
    exec "${command[@]}" 8>&-
  ) || status=$?
  restore_terminal
  exit "$status"
fi

if $joined; then
  say "joined the lab you have open: its System V keys, port 7734 and" \
    "processes; 'exit' leaves it"
elif [[ $kind == joinable ]]; then
  say "a shell in a new lab, with its own System V keys, port 7734 and" \
    "processes; 'exit' leaves it, and $me in another of your terminals joins it"
else
  say "a shell in a new, separate lab, with its own System V keys, port 7734" \
    "and processes; 'exit' leaves it, and no other $me joins it"
fi
# The terminal's foreground process group (nsenter's) lies outside the
# lab's PID namespace, where the shell cannot name it, and dash complains
# when it cannot give the terminal back to it at its end. So the shell runs
# as a job (set -m) of a small bash: in a process group of the lab's own,
# which it gives the terminal back to.
status=0
# shellcheck disable=SC2016 # the inner bash expands its own arguments
nsenter "${enter[@]}" --wd="$PWD" -- env --default-signal=INT,QUIT \
  IPC_TOUR_LAB="$kind" IPC_TOUR_LAB_IPC="$lab_ipc" PATH="$path" \
  bash -c 'flock -u 9; export PS1=$0; set -m; "$@" 9<&-' "$PS1" "$@" || status=$?
exec 9<&-
restore_terminal

# What is left in the lab once this terminal is out. Another terminal that
# is still in holds the lab, and what runs on it is that terminal's: only
# processes that no member holds are left behind by this one. A member is
# a process of the lab whose parent is a nsenter outside it (a ./lab.sh's:
# a shell's wrapper, or a command); it holds its descendants, and its
# terminal holds the processes on that terminal (a job that its shell put
# in the background and that outlived it). This terminal's own jobs that
# outlived its shell are left behind: their parent is the lab's PID 1 now,
# and the terminal they are on has no member left in the lab. So is this
# terminal's shell should its nsenter have been killed: the kernel gives
# it to a reaper outside the lab (init), not to another nsenter.
# (-ef compares the namespaces themselves, with no process per look.)
[[ -e /proc/$lab/ns/pid ]] || exit "$status"
declare -A parent_of=() tty_of=() name_of=()
for dir in /proc/[0-9]*; do
  pid=${dir#/proc/}
  [[ $pid != "$lab" && $dir/ns/pid -ef /proc/$lab/ns/pid ]] || continue
  read -r stat 2>/dev/null <"$dir/stat" || continue
  # After the name: state, parent, process group, session, terminal.
  read -r state ppid _ _ tty _ <<<"${stat##*) }"
  [[ $state == Z ]] && continue # ended, waiting for the lab's PID 1
  name=${stat#*(}
  parent_of[$pid]=$ppid
  tty_of[$pid]=$tty
  name_of[$pid]=${name%)*}
done
declare -A held=() member_ttys=()
members=0
for pid in "${!parent_of[@]}"; do
  ppid=${parent_of[$pid]}
  command_name=""
  if [[ $ppid != "$lab" && -z ${parent_of[$ppid]+set} ]]; then
    read -r command_name 2>/dev/null <"/proc/$ppid/comm" || true
  fi
  if [[ $command_name == nsenter ]]; then
    held[$pid]=1
    members=$((members + 1))
    [[ ${tty_of[$pid]} == 0 ]] || member_ttys[${tty_of[$pid]}]=1
  fi
done
# Descendants of members, and processes on a member's terminal, until no
# more are found.
grown=true
while $grown; do
  grown=false
  for pid in "${!parent_of[@]}"; do
    [[ -z ${held[$pid]+set} ]] || continue
    if [[ -n ${held[${parent_of[$pid]}]+set} || -n ${member_ttys[${tty_of[$pid]}]+set} ]]; then
      held[$pid]=1
      grown=true
    fi
  done
done
left=()
left_pids=()
for pid in "${!parent_of[@]}"; do
  [[ -n ${held[$pid]+set} ]] && continue
  left+=("${name_of[$pid]}")
  left_pids+=("$pid")
done

if ((members)); then
  say "your other terminal is still in this lab; it ends when the last leaves"
  # The lab stays for that terminal: the advice ends only what this one left.
  if ((${#left[@]})); then
    say "${#left[@]} process(es) you left still run in the lab (${left[*]});" \
      "to end them: kill -KILL ${left_pids[*]}"
  fi
elif ((${#left[@]})); then
  say "${#left[@]} process(es) still run in the lab you left (${left[*]}), so it" \
    "stays; to end them and the lab: kill -KILL $lab"
fi
exit "$status"
