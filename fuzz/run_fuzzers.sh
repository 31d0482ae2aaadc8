#!/bin/bash
# Runs the fuzz targets over their corpora, one after the other:
#   fuzz/run_fuzzers.sh [-s SECONDS] [-n RUNS] [-b BUILD_DIR] [-o OUT_DIR] [TARGET...]
# TARGET is a name without its "fuzz_" prefix (default: all of them). Each
# target runs for SECONDS or RUNS executions, whichever ends first (with
# neither, 60 seconds), over a working copy
# of fuzz/corpus/<corpus> (new inputs stay in OUT_DIR/<target>/corpus; the
# committed corpus is only read). Per target it prints the executions, the
# final coverage ("cov:") and the findings; crash, leak and time-out inputs
# are kept in OUT_DIR/<target>/ with the log. Builds the targets first when
# BUILD_DIR (default build-fuzz) has no configuration yet. Exit status 1 when
# any target found something.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
seconds="" runs="" build=$top/build-fuzz out=""
while getopts "s:n:b:o:" flag; do
  case $flag in
    s) seconds=$OPTARG ;;
    n) runs=$OPTARG ;;
    b) build=$OPTARG ;;
    o) out=$OPTARG ;;
    *) sed -n 2,12p "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

# target:corpus directory
all="snmp_readers:snmp jpeg_stream:jpeg device_id:device_id page_stream:page_stream page_decode:page_decode options:options"
if [ $# -eq 0 ]; then set -- $all; fi
out=${out:-$(mktemp -d /tmp/orvela_fuzz.XXXXXX)}
mkdir -p "$out"

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DORVELA_SANITIZE=address,undefined >/dev/null || exit 1
fi

found=0
for entry in "$@"; do
  name=${entry%%:*}
  corpus=${entry#*:}
  [ "$corpus" = "$entry" ] && corpus=$(for e in $all; do [ "${e%%:*}" = "$name" ] && echo "${e#*:}"; done)
  if [ -z "$corpus" ] || [ ! -d "$top/fuzz/corpus/$corpus" ]; then
    echo "fuzz_$name: no such target"; found=1; continue
  fi
  cmake --build "$build" -j2 --target "fuzz_$name" >/dev/null || { echo "fuzz_$name: build failed"; found=1; continue; }
  work=$out/$name
  mkdir -p "$work/corpus"
  limit=()
  [ -n "$seconds" ] && limit+=(-max_total_time="$seconds")
  [ -n "$runs" ] && limit+=(-runs="$runs")
  [ ${#limit[@]} -eq 0 ] && limit=(-max_total_time=60)
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
    "$build/fuzz/fuzz_$name" "${limit[@]}" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$work/" "$work/corpus" "$top/fuzz/corpus/$corpus" >"$work/log" 2>&1
  status=$?
  executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$work/log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]*' "$work/log" | tail -1 | awk '{print $2}')
  findings=$(find "$work" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ $status -eq 0 ] && [ "$findings" -eq 0 ]; then
    echo "fuzz_$name: ${executions:-?} executions, cov ${coverage:-?}, no finding"
  else
    echo "fuzz_$name: ${executions:-?} executions, cov ${coverage:-?}, FINDING (exit $status, $findings input(s) kept in $work/)"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$work/log" | head -5
    found=1
  fi
done
echo "logs and new inputs in $out"
exit $found
