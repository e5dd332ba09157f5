#!/usr/bin/env bash
# Removes the System V objects that the demos leave behind (the counter
# segment, a guard semaphore set left by an interrupted tallylock, the
# mailbox segment) where they exist and belong to you, and says what it
# removed. Only an object's owner (or root) may remove it; another user's
# objects are left alone and named. Objects a run is using are kept: a
# segment still attached, and the guard while the counter is attached.
set -euo pipefail

me=$(id -un)
uid=$(id -u)

# ipcs's columns: key, id, owner, perms, then bytes and nattch (-m) or
# nsems (-s). The owner is a name, or a number where it has none.
field() { # -m|-s KEY COLUMN: that column of the object with KEY, or nothing
  ipcs "$1" | awk -v key="$2" -v column="$3" '$1 == key { print $column }'
}

remove() { # -m|-s KEY WHAT: says what became of it
  local id owner
  id=$(field "$1" "$2" 2)
  if [[ -z $id ]]; then
    echo "$3: none"
    return
  fi
  owner=$(field "$1" "$2" 3)
  if [[ $owner != "$me" && $owner != "$uid" ]]; then
    echo "$3: kept; it belongs to $owner, and only its owner (or root) may remove it"
    return
  fi
  if [[ $1 == -m && $(field -m "$2" 6) != 0 ]]; then
    echo "$3: kept; a run still has it attached"
    return
  fi
  if [[ $1 == -s && $(field -m 0x0000068e 6) =~ ^[1-9] ]]; then
    echo "$3: kept; a counter run is still going"
    return
  fi
  ipcrm "$1" "$id"
  echo "$3: removed (id $id)"
}

remove -m 0x0000068e "counter segment (key 1678)"
remove -s 0x000004d2 "guard semaphore set (key 1234)"
remove -m 0x0000162e "mailbox segment (key 5678)"
