#!/usr/bin/env bash
# Builds a mistake: one program with the small change of mistakes/NAME.diff,
# out of the way, so that build/bin keeps the programs as they are meant.
#
#   mistakes/build.sh NAME OUTDIR     (OUTDIR: build/mistakes/NAME, say)
#
# Prints one line on standard output, the folder of the built programs
# (OUTDIR/build/bin): the changed program and the other programs of its
# source folder, so that a changed server comes with its client. OUTDIR
# holds a copy of the sources with the change applied (src/), cmake's build
# folder (build/, configured once with the project's default preset) and
# the log of the last build (build.log, shown on standard error if it
# fails, with status 1). When neither the diff nor the sources have changed
# since the last run, nothing is copied or built. Two runs for one OUTDIR
# take turns.
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
command -v cmake >/dev/null ||
  { echo "build.sh: cmake is not installed; as root: apt-get install cmake g++ make" >&2; exit 1; }

# What the programs are built from, and the folder the diff changes.
sources=(CMakeLists.txt CMakePresets.json packaging
         sincronizacion threads processes pipes sockets sharedmem)
folder=$(sed -n '/^+++ b\//{s|^+++ b/\([^/]*\)/.*|\1|p;q}' "$diff")
mapfile -t programs < <(sed -n 's/^add_executable(\([a-z]*\) .*/\1/p' "$root/$folder/CMakeLists.txt")
if ((${#programs[@]} == 0)); then
  echo "build.sh: mistakes/$name.diff changes no program's folder" >&2
  exit 2
fi

mkdir -p "$2"
out=$(cd "$2" && pwd)
exec 9>"$out/lock"
flock 9

stamp=$(cd "$root" && find "${sources[@]}" mistakes/build.sh "mistakes/$name.diff" -type f \
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

# The change is applied to a fresh copy; then only the files that differ
# from the last run's are copied into src/, so make rebuilds only those.
# git apply must not take the clone around OUTDIR for its repository.
stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage" "$out/src"
(cd "$root" && cp -R "${sources[@]}" "$stage/")
if ! (cd "$stage" && GIT_CEILING_DIRECTORIES=$out "${apply[@]}") <"$diff" 2>"$out/build.log"; then
  echo "build.sh: mistakes/$name.diff does not apply to the sources:" >&2
  cat "$out/build.log" >&2
  exit 1
fi
(cd "$stage" && find . -type f) | while read -r file; do
  if ! cmp -s "$stage/$file" "$out/src/$file"; then
    mkdir -p "$(dirname "$out/src/$file")"
    cp "$stage/$file" "$out/src/$file"
  fi
done
rm -rf "$stage"

if ! {
  if [[ ! -f $out/build/CMakeCache.txt ]]; then
    (cd "$out/src" && cmake --preset default -B "$out/build" -DIPC_TOUR_TESTS=OFF)
  fi
  cmake --build "$out/build" --parallel 2 --target "${programs[@]}"
} >"$out/build.log" 2>&1; then
  cat "$out/build.log" >&2
  echo "build.sh: the build of mistake $name failed (log: $out/build.log)" >&2
  exit 1
fi
echo "$stamp" >"$out/stamp"
echo "$out/build/bin"
