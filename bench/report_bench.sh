#!/usr/bin/env bash
# pxtool report on a run log of 100,000 command lines (1,000 runs of 100
# commands, every tenth run killed half way) against `wc -l` on the same
# file: the best wall and CPU times of each, and their ratios (the aim: at
# most 3 for the text report).
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

# One round: 10 runs of "$@" (output discarded), timed together by bash's
# time, whose millisecond resolution would be coarse for one run of a few
# milliseconds; prints wall and CPU (user + system) seconds per run.
round() {
  local TIMEFORMAT='%R %U %S' r u s
  read -r r u s < <({ time for _ in 1 2 3 4 5 6 7 8 9 10; do "$@" > /dev/null; done; } 2>&1)
  awk -v r="$r" -v u="$u" -v s="$s" 'BEGIN { print r / 10, (u + s) / 10 }'
}
cat "$work/Quillon.log" > /dev/null  # in the page cache for all

# Seven rounds, each timing `wc -l` and every form of the report one after
# the other, so that a burst of load on this shared machine falls on all of
# them alike; the best round of each is kept.
names=("wc -l" "pxtool report (text, all)" "pxtool report --last 10"
       "pxtool report --format json" "pxtool report --format svg")
commands=("wc -l $work/Quillon.log" "$pxtool report $work" "$pxtool report $work --last 10"
          "$pxtool report $work --format json" "$pxtool report $work --format svg")
declare -a wall cpu
for _ in 1 2 3 4 5 6 7; do
  for i in "${!commands[@]}"; do
    read -r w c < <(round ${commands[$i]})
    wall[$i]=$(awk -v a="$w" -v b="${wall[$i]:-999}" 'BEGIN { print (a < b) ? a : b }')
    cpu[$i]=$(awk -v a="$c" -v b="${cpu[$i]:-999}" 'BEGIN { print (a < b) ? a : b }')
  done
done
for i in "${!names[@]}"; do
  awk -v n="${names[$i]}" -v w="${wall[$i]}" -v c="${cpu[$i]}" -v ww="${wall[0]}" -v wc="${cpu[0]}" \
      -v first="$i" 'BEGIN {
    if (first == 0) { printf "%-30s wall %6.2f ms               cpu %6.2f ms\n", n, 1000 * w, 1000 * c; exit }
    printf "%-30s wall %6.2f ms (ratio %.2f)  cpu %6.2f ms (ratio %.2f)\n", n, 1000 * w,
           w / (ww > 0 ? ww : 0.0001), 1000 * c, c / (wc > 0 ? wc : 0.0001) }'
done
