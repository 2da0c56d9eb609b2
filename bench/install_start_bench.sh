#!/usr/bin/env bash
# Start-up cost of the installed Quillon against the build tree's: 1000 runs
# of "Quillon -v" from a temporary `cmake --install` prefix and 1000 from
# BUILD_DIR/bin, alternated for ROUNDS rounds; prints each round and the
# ratios of the medians, wall and CPU time (installed / build tree; goal: at
# most 1.05).
#
#   bash bench/install_start_bench.sh [BUILD_DIR] [ROUNDS]   (build, 7)
#
# BUILD_DIR must be built. The trace files go to the temporary directory.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
rounds=${2:-7}
runs=1000
tmp=$(mktemp -d /tmp/quillon-start-bench.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
export QZ_LOG_RINGBUF_DIR=$tmp
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null

# seconds BINARY: "WALL CPU", the wall time and the CPU time (user and
# system, the runs and the loop) of $runs runs of "BINARY -v".
seconds() {
  local TIMEFORMAT='%R %U %S' t
  t=$( { time (for ((i = 0; i < runs; i++)); do "$1" -v >/dev/null; done) ; } 2>&1)
  awk '{printf "%.3f %.3f\n", $1, $2 + $3}' <<< "$t"
}
median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

built=() installed=()
for ((r = 1; r <= rounds; r++)); do
  b=$(seconds "$build/bin/Quillon")
  i=$(seconds "$tmp/prefix/sbin/Quillon")
  built+=("$b") installed+=("$i")
  echo "round $r of $runs runs (wall, CPU seconds): build tree $b, installed $i"
done
for column in 1 2; do
  mb=$(printf '%s\n' "${built[@]}" | cut -d' ' -f$column | median)
  mi=$(printf '%s\n' "${installed[@]}" | cut -d' ' -f$column | median)
  name=$([ $column = 1 ] && echo wall || echo CPU)
  awk -v i="$mi" -v b="$mb" -v n="$name" 'BEGIN {
    printf "%s time, medians: build tree %.3fs, installed %.3fs, ratio %.3f\n", n, b, i, i / b}'
done
