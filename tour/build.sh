# shellcheck shell=bash
# How tour.sh and lab.sh find the programs in a clone, sourced by both:
# built into build/bin (the ten programs and tallylock.o only, not the
# tests, so a first build takes seconds), or, where build/ cannot be
# written (a clone built by someone else, then made read-only), the
# programs already there.

# True when the clone at ROOT is built here: its build/ can be written
# (or made). Otherwise the programs already built there run, and nothing
# needs cmake.
clone_builds() { # ROOT
  local build=$1/build
  [[ -e $build && -w $build ]] || [[ ! -e $build && -w $1 ]]
}

programs_of_clone() { # NAME ROOT: prints the programs' folder; says on stderr what it did
  local name=$1 root=$2 build=build
  [[ $root == . ]] || build=$root/build
  if ! clone_builds "$root"; then
    if [[ -x $build/bin/tallylock ]]; then
      echo "$name: you cannot write to $build, so the programs already built in $build/bin run" >&2
      echo "$build/bin"
      return 0
    fi
    echo "$name: cannot build in $root, and no programs are built there; use --bin DIR" >&2
    return 1
  fi
  echo "$name: building the programs where needed (cmake --build --preset programs)" >&2
  if ! (cd "$root" && cmake --preset default >/dev/null && cmake --build --preset programs >/dev/null); then
    echo "$name: the build failed; see: cmake --build --preset programs" >&2
    return 1
  fi
  echo "$build/bin"
}
