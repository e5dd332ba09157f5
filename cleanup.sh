#!/usr/bin/env bash
# Removes the System V objects that the demos leave behind and no run is
# using: the counter segment (key 1678, 4 bytes), a guard semaphore set left
# by an interrupted tallylock (key 1234, one semaphore) and the mailbox
# segment (key 5678, 27 bytes). It says for each what it did.
#
# It reads the objects from /proc/sysvipc/shm and /proc/sysvipc/sem (see
# proc(5)), whose uid column the kernel gives in the reader's user namespace,
# and decides ownership by that number: a login name is never compared, so
# one that another tool would cut short cannot hide a user's own objects.
# A user removes only their own and names the owner of any other; root
# removes those of every user and says whose each was. An object with one of
# the keys but another size or number of semaphores may be another program's
# and is kept, whoever runs this. Objects a run is using are kept: a segment
# still attached, and the guard while the counter is attached.
set -euo pipefail

# The name it is run by: ./cleanup.sh in a clone, ipc-cleanup where installed.
me=${IPC_TOUR_AS:-./cleanup.sh}
said=${me##*/}

case ${1:-} in
  "") ;;
  --help)
    cat <<EOF
usage: $me

Removes the System V objects that the suite's programs leave behind and no
run is using: the counter (key 1678), a guard set of a tallylock cut short
(key 1234) and the mailbox (key 5678); says for each what it did. A user
removes only their own, and is told whose any other is; root removes every
user's.
EOF
    exit 0
    ;;
  *)
    echo "$said: it takes no arguments; '$1' is not one (see $me --help)" >&2
    exit 2
    ;;
esac

# Tools beyond coreutils and bash, and the Debian package of each.
missing=()
packages=()
need() { # TOOL PACKAGE
  if ! command -v "$1" >/dev/null; then
    missing+=("$1")
    packages+=("$2")
  fi
}
need ipcrm util-linux
need getent libc-bin
if ((${#missing[@]})); then
  echo "$said: missing ${missing[*]}; install them as root: apt-get install ${packages[*]}" >&2
  exit 1
fi
if [[ ! -r /proc/sysvipc/shm || ! -r /proc/sysvipc/sem ]]; then
  echo "$said: no /proc/sysvipc here: the kernel has no System V IPC, or /proc is not mounted" >&2
  exit 1
fi

# The columns read below, by their names on each file's heading line.
for columns in "shm key shmid size nattch uid" "sem key semid nsems uid"; do
  read -ra wanted <<<"$columns"
  read -ra names <"/proc/sysvipc/${wanted[0]}"
  for name in "${wanted[@]:1}"; do
    if [[ " ${names[*]} " != *" $name "* ]]; then
      echo "$said: /proc/sysvipc/${wanted[0]} has no $name column" >&2
      exit 1
    fi
  done
done

uid=$(id -u)
status=0

# The object with a key, from /proc/sysvipc/shm or sem, as `object[COLUMN]`
# by the names on the file's heading line (key, shmid or semid, size,
# nattch, nsems, uid, ...). Keys there are decimal.
declare -A object
lookup() { # shm|sem KEY: false if there is none
  local names values i
  object=()
  {
    read -ra names
    while read -ra values; do
      for i in "${!names[@]}"; do object[${names[i]}]=${values[i]-}; done
      [[ ${object[key]} == "$2" ]] && return 0
    done
  } <"/proc/sysvipc/$1"
  object=()
  return 1
}

# "you", or the login of a uid in full, or "uid N" where it has none.
owner() { # UID
  local entry
  if [[ $1 == "$uid" ]]; then
    echo you
  elif entry=$(getent passwd "$1"); then
    echo "${entry%%:*}"
  else
    echo "uid $1"
  fi
}

tidy() { # shm|sem KEY SIZE WHAT: SIZE in bytes (shm) or semaphores (sem)
  local kind=$1 key=$2 size=$3 what=$4 id has unit flag whose error
  if ! lookup "$kind" "$key"; then
    echo "$what: none"
    return
  fi
  if [[ $kind == shm ]]; then
    id=${object[shmid]} has=${object[size]} unit=bytes flag=-m
  else
    id=${object[semid]} has=${object[nsems]} unit=semaphores flag=-s
  fi
  if ((has != size)); then
    echo "$what: kept; it has $has $unit, not the demo's $size, so it may be another program's"
    return
  fi
  whose=$(owner "${object[uid]}")
  if ((uid != 0)) && [[ $whose != you ]]; then
    echo "$what: kept; it belongs to $whose, and only its owner (or root) may remove it"
    return
  fi
  if [[ $kind == shm ]] && [[ ${object[nattch]} != 0 ]]; then
    echo "$what: kept; a run still has it attached"
    return
  fi
  if [[ $kind == sem ]] && lookup shm 1678 && [[ ${object[nattch]} != 0 ]]; then
    echo "$what: kept; a counter run is still going"
    return
  fi
  if [[ $whose == you ]]; then whose=yours; else whose="$whose's"; fi
  # By id, not by key: an object made with the key since it was read has
  # another id, and stays.
  if ! error=$(ipcrm "$flag" "$id" 2>&1); then
    echo "$what: not removed (id $id, $whose); $error"
    status=1
    return
  fi
  echo "$what: removed (id $id, $whose)"
}

tidy shm 1678 4 "counter segment (key 1678)"
tidy sem 1234 1 "guard semaphore set (key 1234)"
tidy shm 5678 27 "mailbox segment (key 5678)"
exit "$status"
