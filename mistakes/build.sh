#!/usr/bin/env bash
# Builds a mistake: one program with the small change of mistakes/NAME.diff,
# out of the way, so that the programs as they are meant stay as they are.
#
#   mistakes/build.sh NAME OUTDIR     (OUTDIR: build/mistakes/NAME, say)
#
# Prints one line on standard output, the folder of the built programs
# (OUTDIR/build/bin): the changed program and the other programs of its
# source folder, so that a changed server comes with its client. OUTDIR
# holds a copy of that folder with the change applied (src/) and the log of
# the last build (build.log, shown on standard error if it fails, with
# status 1). Each program is compiled straight from its folder's sources
# with the C++ compiler, as the project's default build compiles it, so
# neither cmake nor the rest of the sources are needed (the installed
# package carries just the folders). When neither the diff nor the sources
# have changed since the last run, nothing is copied or built. Two runs for
# one OUTDIR take turns.
set -euo pipefail

if (($# != 2)); then
  echo "usage: $0 NAME OUTDIR" >&2
  exit 2
fi
name=$1
root=$(cd "$(dirname "$0")/.." && pwd)
diff=$root/mistakes/$name.diff
if [[ ! -f $diff ]]; then
  known=("$root"/mistakes/*.diff)
  known=("${known[@]##*/}")
  echo "build.sh: no mistake '$name'; there are: ${known[*]%.diff}" >&2
  exit 2
fi

if command -v git >/dev/null; then
  apply=(git apply)
elif command -v patch >/dev/null; then
  apply=(patch -p1 -s --batch --no-backup-if-mismatch)
else
  echo "build.sh: neither git nor patch is installed; install one as root: apt-get install patch" >&2
  exit 1
fi
cxx=${CXX:-c++}
command -v "$cxx" >/dev/null ||
  { echo "build.sh: no C++ compiler ($cxx); install one as root: apt-get install g++" >&2; exit 1; }

# The folder the diff changes, and the programs built from it.
folder=$(sed -n '/^+++ b\//{s|^+++ b/\([^/]*\)/.*|\1|p;q}' "$diff")
mapfile -t programs < <(sed -n 's/^add_executable(\([a-z]*\) .*/\1/p' "$root/$folder/CMakeLists.txt" 2>/dev/null)
if ((${#programs[@]} == 0)); then
  echo "build.sh: mistakes/$name.diff changes no program's folder" >&2
  exit 2
fi

mkdir -p "$2"
out=$(cd "$2" && pwd)
exec 9>"$out/lock"
flock 9

stamp=$(cd "$root" && find "$folder" mistakes/build.sh "mistakes/$name.diff" -type f \
          -print0 | sort -z | xargs -0 sha256sum | sha256sum)
up_to_date=false
[[ -f $out/stamp && $(<"$out/stamp") == "$stamp" ]] && up_to_date=true
for program in "${programs[@]}"; do
  [[ -x $out/build/bin/$program ]] || up_to_date=false
done
if $up_to_date; then
  echo "$out/build/bin"
  exit 0
fi
rm -f "$out/stamp"

# The change is applied to a fresh copy of the folder. git apply must not
# take a clone around OUTDIR for its repository: that would make the
# paths relative to the clone, and the diff would not apply.
rm -rf "$out/src"
mkdir -p "$out/src"
cp -R "$root/$folder" "$out/src/"
if ! (cd "$out/src" && GIT_CEILING_DIRECTORIES=$out "${apply[@]}") <"$diff" 2>"$out/build.log"; then
  echo "build.sh: mistakes/$name.diff does not apply to the sources:" >&2
  cat "$out/build.log" >&2
  exit 1
fi

# Each program from its own source and the folder's shared ones (the
# counter's harness), with the flags of the project's default build.
flags=(-std=c++20 -O2 -g -DNDEBUG -Wall -Wextra -Wpedantic -pthread)
shared=()
for source in "$out/src/$folder"/*.cpp; do
  [[ " ${programs[*]} " == *" $(basename "$source" .cpp) "* ]] || shared+=("$source")
done
mkdir -p "$out/build/bin"
: >"$out/build.log"
for program in "${programs[@]}"; do
  rm -f "$out/build/bin/$program"
  echo "$cxx ${flags[*]} -o build/bin/$program $folder/$program.cpp ${shared[*]#"$out/src/"}" >>"$out/build.log"
  if ! "$cxx" "${flags[@]}" -o "$out/build/bin/$program" \
         "$out/src/$folder/$program.cpp" "${shared[@]}" >>"$out/build.log" 2>&1; then
    cat "$out/build.log" >&2
    echo "build.sh: the build of mistake $name failed (log: $out/build.log)" >&2
    exit 1
  fi
done
echo "$stamp" >"$out/stamp"
echo "$out/build/bin"
