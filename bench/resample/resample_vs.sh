#!/bin/bash
# libvips ÷ ours, per job, for an earlier commit's bench_resample and this
# tree's, run in turn job by job so that both meet the same load. libvips is
# the yardstick both measure against (same kernel, same threads), which is
# what lets the ratios of two builds be compared while absolute times move by
# a fifth from run to run on a shared machine.
#
# The earlier bench is built once from `git archive` of BEFORE_COMMIT
# (default 358fc72) under $RESAMPLE_VS_CACHE/<commit id>, with this build's
# type, target bench_resample only; a second run finds it.
#
# usage: resample_vs.sh SOURCE_DIR BENCH [bench_resample options...]
#   BEFORE_COMMIT, RESAMPLE_VS_CACHE (default beside BENCH), BUILD_TYPE (Release)
set -eu
top=$1 after=$2
shift 2
BEFORE_COMMIT=${BEFORE_COMMIT:-358fc72}
RESAMPLE_VS_CACHE=${RESAMPLE_VS_CACHE:-$(dirname "$after")/resample-before}
BUILD_TYPE=${BUILD_TYPE:-Release}
reps=5 jobs=()
while [ $# -gt 0 ]; do
  case $1 in
    --reps) reps=$2; shift 2 ;;
    --job) jobs+=("$2"); shift 2 ;;
    *) echo "usage: $0 SOURCE_DIR BENCH [--reps N] [--job NAME]..." >&2; exit 2 ;;
  esac
done
[ ${#jobs[@]} -gt 0 ] || jobs=(300to200 300to150 300to100 600to400 200to300)

id=$(git -C "$top" rev-parse --verify --quiet "$BEFORE_COMMIT^{commit}") ||
  { echo "no commit $BEFORE_COMMIT in $top" >&2; exit 1; }
dir=$RESAMPLE_VS_CACHE/$id
if [ ! -f "$dir/src.done" ]; then
  rm -rf "$dir/src" && mkdir -p "$dir/src" && git -C "$top" archive "$id" | tar -x -C "$dir/src"
  touch "$dir/src.done"
fi
echo "building bench_resample of $BEFORE_COMMIT (once; under $dir)"
{ cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" &&
    cmake --build "$dir/build" -j2 --target bench_resample; } >"$dir/build.log" 2>&1 ||
  { tail -20 "$dir/build.log" >&2; exit 1; }
before=$dir/build/bench/resample/bench_resample

# The RESULT lines of one bench for one job: "colour 1T 2T identical".
results() {
  "$1" --reps "$reps" --job "$2" | awk '/^RESULT/ {
    for (i = 3; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    print $3, v["vips_over_engine_1T"], v["vips_over_engine_2T"], v["identical"] }'
}

echo "libvips ÷ ours (medians of $reps rounds; higher is faster), $BEFORE_COMMIT and this tree, $(uptime)"
printf '%-9s %-7s %10s %10s %10s %10s  %s\n' job image "before 1T" "after 1T" "before 2T" "after 2T" "bytes (before/after)"
for job in "${jobs[@]}"; do
  b=$(results "$before" "$job") a=$(results "$after" "$job")
  paste <(echo "$b") <(echo "$a") | while read -r c b1 b2 bi _ a1 a2 ai; do
    printf '%-9s %-7s %10s %10s %10s %10s  %s\n' "$job" "$c" "$b1" "$a1" "$b2" "$a2" "$bi/$ai"
  done
done
