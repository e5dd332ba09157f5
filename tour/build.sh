# shellcheck shell=bash
# How tour.sh and lab.sh find the programs in a clone, sourced by both:
# built into build/bin (the ten programs and tallylock.o only, not the
# tests, so a first build takes seconds), or, where build/ cannot be
# written (a clone built by someone else, then made read-only), the
# programs already there.

# True when ROOT is a clone built here: its build/ can be written (or
# made). Otherwise the programs already built there run, and nothing needs
# cmake; an install (no CMakeLists.txt beside the scripts) builds nothing.
clone_builds() { # ROOT
  local build=$1/build
  [[ -f $1/CMakeLists.txt ]] || return 1
  [[ -e $build && -w $build ]] || [[ ! -e $build && -w $1 ]]
}

# One message on standard error, wrapped to 80 columns.
build_said() { printf '%s\n' "$*" | fold -s -w 78 | sed 's/ *$//; 2,$s/^/  /' >&2; }

programs_of_clone() { # NAME ROOT: prints the programs' folder; says on stderr what it did
  local name=$1 root=$2 build=build
  [[ $root == . ]] || build=$root/build
  if ! clone_builds "$root"; then
    if [[ -x $build/bin/tallylock ]]; then
      build_said "$name: you cannot write to $build, so the programs already built in $build/bin run"
      echo "$build/bin"
      return 0
    fi
    build_said "$name: cannot build in $root, and no programs are built there; use --bin DIR"
    return 1
  fi
  build_said "$name: building the programs where needed (cmake --build --preset programs)"
  if ! (cd "$root" && cmake --preset default >/dev/null && cmake --build --preset programs >/dev/null); then
    build_said "$name: the build failed; see: cmake --build --preset programs"
    return 1
  fi
  echo "$build/bin"
}
