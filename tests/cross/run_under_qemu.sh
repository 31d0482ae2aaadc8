#!/bin/bash
# Runs an arm64 or armhf build's test programs under qemu-user, without the
# cases of qemu_skips.txt, and the checks of its library that run on the
# build machine (exported names, the C boundary, no fused multiply-add).
# Prints what failed and a last line with the counts; fails when anything did.
#   run_under_qemu.sh BUILD_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/qemu_lib.sh"
dir=$(cd "$1" && pwd)
skips=$(grep -vE '^(#|$)' "$here/qemu_skips.txt" | paste -sd:)
log=$dir/qemu-tests.log
: >"$log"
passed=0 failed=0
for prog in $(find "$dir/tests" -maxdepth 2 -type f -name 'test_*' -executable | sort); do
  runner=$(cross_runner "$prog")
  out=$(cd "$(dirname "$prog")" && QEMU_SET_ENV=$(cross_environment "$dir") \
          timeout 900 $runner "$prog" --gtest_filter="-$skips" --gtest_brief=1 2>&1) && rc=0 || rc=$?
  echo "== $prog (status $rc)" >>"$log"
  echo "$out" >>"$log"
  ran=$(echo "$out" | sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran.*/\1/p')
  bad=$(echo "$out" | grep -c '^\[  FAILED  \] [A-Za-z]' || true)
  if [ "$rc" != 0 ] || [ -z "$ran" ]; then
    echo "$(basename "$prog"): FAILED (status $rc)"; echo "$out" | grep -E '^\[  FAILED  \]' | head -10
    failed=$((failed + ${bad:-0} + 1))
  fi
  passed=$((passed + ${ran:-0} - ${bad:-0}))
done
checks="library checks passed on the build machine"
(cd "$dir" && ctest -R '^(exported_symbols|c_boundary|vector_code)$' >>"$log" 2>&1) ||
  { checks="library checks FAILED (see $log)"; failed=$((failed + 1)); }
echo "under qemu-user $passed test cases passed, $failed failed, the $(grep -cvE '^(#|$)' "$here/qemu_skips.txt") patterns of qemu_skips.txt left out; $checks"
[ $failed = 0 ]
