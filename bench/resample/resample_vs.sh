#!/bin/bash
# libvips ÷ ours, per job, for an earlier commit's bench_resample and this
# tree's, run in turn job by job so that both meet the same load. libvips is
# the yardstick both measure against (same kernel, same threads), which is
# what lets the ratios of two builds be compared while absolute times move by
# a fifth from run to run on a shared machine.
#
# Each job runs ROUNDS times (default 3), the two benches in turn, and the
# table gives the median of each figure over the rounds: a burst of other work
# on the machine then moves one round, not the comparison.
#
# The earlier bench is built once (bench/commit_build.sh) from BEFORE_COMMIT
# (default 358fc72) under $RESAMPLE_VS_CACHE/<commit id>, with this build's
# type, target bench_resample only; a second run finds it.
#
# usage: resample_vs.sh SOURCE_DIR BENCH [bench_resample options...]
#   BEFORE_COMMIT, RESAMPLE_VS_CACHE (default beside BENCH), BUILD_TYPE (Release), ROUNDS (3)
set -eu
top=$1 after=$2
shift 2
BEFORE_COMMIT=${BEFORE_COMMIT:-358fc72}
RESAMPLE_VS_CACHE=${RESAMPLE_VS_CACHE:-$(dirname "$after")/resample-before}
BUILD_TYPE=${BUILD_TYPE:-Release}
ROUNDS=${ROUNDS:-3}
reps=5 jobs=()
while [ $# -gt 0 ]; do
  case $1 in
    --reps) reps=$2; shift 2 ;;
    --job) jobs+=("$2"); shift 2 ;;
    *) echo "usage: $0 SOURCE_DIR BENCH [--reps N] [--job NAME]..." >&2; exit 2 ;;
  esac
done
[ ${#jobs[@]} -gt 0 ] || jobs=(300to200 300to150 300to100 600to400 200to300)

. "$(dirname "${BASH_SOURCE[0]}")/../commit_build.sh"
echo "building bench_resample of $BEFORE_COMMIT (once; under $RESAMPLE_VS_CACHE)"
build=$(commit_build "$top" "$RESAMPLE_VS_CACHE" "$BEFORE_COMMIT" bench_resample -DCMAKE_BUILD_TYPE="$BUILD_TYPE") ||
  exit 1
before=$build/bench/resample/bench_resample

# The RESULT lines of one bench for one job: "colour 1T 2T identical".
results() {
  "$1" --reps "$reps" --job "$2" | awk '/^RESULT/ {
    for (i = 3; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    print $3, v["vips_over_engine_1T"], v["vips_over_engine_2T"], v["identical"] }'
}

# Medians, per image, of the rounds' figures: lines "image b1 a1 b2 a2 bi/ai".
medians() {
  awk '{ key[$1] = 1; for (i = 2; i <= 5; i++) v[$1, i, ++n[$1, i]] = $i; same[$1] = same[$1] ($6 == "yes/yes" ? "" : "x") }
    function median(img, i,   m, k, t, a) {
      m = n[img, i]; for (k = 1; k <= m; k++) a[k] = v[img, i, k]
      for (k = 2; k <= m; k++) for (t = k; t > 1 && a[t - 1] > a[t]; t--) { x = a[t]; a[t] = a[t - 1]; a[t - 1] = x }
      return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2 }
    END { for (img in key) printf "%s %.2f %.2f %.2f %.2f %s\n", img, median(img, 2), median(img, 3),
      median(img, 4), median(img, 5), same[img] == "" ? "yes/yes" : "no" }' | sort -r
}

echo "libvips ÷ ours (medians of $ROUNDS runs of each bench in turn, each the median of $reps rounds; higher is faster), $BEFORE_COMMIT and this tree, $(uptime)"
printf '%-9s %-7s %10s %10s %10s %10s  %s\n' job image "before 1T" "after 1T" "before 2T" "after 2T" "bytes (before/after)"
for job in "${jobs[@]}"; do
  for ((round = 0; round < ROUNDS; round++)); do
    b=$(results "$before" "$job") a=$(results "$after" "$job")
    paste -d' ' <(echo "$b") <(echo "$a") | while read -r c b1 b2 bi _ a1 a2 ai; do
      echo "$c $b1 $a1 $b2 $a2 $bi/$ai"
    done
  done | medians | while read -r c b1 a1 b2 a2 same; do
    printf '%-9s %-7s %10s %10s %10s %10s  %s\n' "$job" "$c" "$b1" "$a1" "$b2" "$a2" "$same"
  done
done
