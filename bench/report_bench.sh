#!/usr/bin/env bash
# pxtool report on a run log of 100,000 command lines (1,000 runs of 100
# commands, every tenth run killed half way) against `wc -l` on the same
# file: best of 5 wall and CPU times each, and their ratios (the aim: at
# most 3 in CPU for the text report).
#
#   bash bench/report_bench.sh [BUILD_DIR]     (default: build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
pxtool=$build/bin/pxtool
[ -x "$pxtool" ] || cmake --build "$build" --target pxtool >/dev/null
work=$(mktemp -d /tmp/report_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

awk -v runs=1000 -v per=100 'BEGIN {
  stars = sprintf("%78s", ""); gsub(/ /, "*", stars)
  for (r = 0; r < runs; r++) {
    t = r * 600
    stamp = sprintf("2024/02/%02d %02d:%02d:%02d", 1 + int(t / 86400), int(t / 3600) % 24, int(t / 60) % 60, t % 60)
    printf "\n\n*********+*********+*********+*********+*********+**********+**********+******"
    printf "\n**       Quillon V3.03.05 Log %s\n%s", stamp, stars
    printf "\n** Arg [0]: Quillon\n** Arg [1]: /srv/pkg\n** Arg [2]: pkg/px.arg\n** working directory: \"/srv/pkg\"\n%s", stars
    printf "\n%s\tUse command section [Commands]", stamp
    n = (r % 10 == 9) ? per / 2 : per
    for (c = 0; c < n; c++) {
      printf "\n%s\texec command <sh step%d.sh --pwd x>", stamp, c
      if (r % 10 == 9 && c == n - 1) break
      printf "\n%s\t . . . returned %d", stamp, c % 3
      printf "\n%s\tExecuted command: \"sh step%d.sh --pwd x\" Retcode: 0", stamp, c
    }
    if (r % 10 != 9) printf "\n%s\tQuillon return code: 0x0", stamp
  }
}' > "$work/Quillon.log"
lines=$(wc -l < "$work/Quillon.log")
echo "run log: $(du -h "$work/Quillon.log" | cut -f1), $lines lines"

# Best of 5 of "$@" (output discarded): wall seconds and CPU seconds (user
# + system), from bash's time. On a loaded machine the CPU figure is the
# steadier one.
best() {
  local wall=999 cpu=999 TIMEFORMAT='%R %U %S'
  for _ in 1 2 3 4 5; do
    local r u s
    read -r r u s < <({ time "$@" > /dev/null; } 2>&1)
    wall=$(awk -v a="$r" -v b="$wall" 'BEGIN { print (a < b) ? a : b }')
    cpu=$(awk -v a="$u" -v s="$s" -v b="$cpu" 'BEGIN { c = a + s; print (c < b) ? c : b }')
  done
  echo "$wall $cpu"
}
cat "$work/Quillon.log" > /dev/null  # in the page cache for both
read -r wc_wall wc_cpu < <(best wc -l "$work/Quillon.log")
show() {
  local name=$1; shift
  local wall cpu
  read -r wall cpu < <(best "$@")
  awk -v n="$name" -v w="$wall" -v c="$cpu" -v ww="$wc_wall" -v wcc="$wc_cpu" 'BEGIN {
    printf "%-30s wall %.3f s (ratio %.1f)  cpu %.3f s (ratio %.1f)\n", n, w, w / (ww > 0 ? ww : 0.001), c, c / (wcc > 0 ? wcc : 0.001) }'
}
printf '%-30s wall %.3f s              cpu %.3f s\n' "wc -l" "$wc_wall" "$wc_cpu"
show "pxtool report (text, all)" "$pxtool" report "$work"
show "pxtool report --last 10" "$pxtool" report "$work" --last 10
show "pxtool report --format json" "$pxtool" report "$work" --format json
show "pxtool report --format svg" "$pxtool" report "$work" --format svg
