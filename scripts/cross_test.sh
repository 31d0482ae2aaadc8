#!/bin/bash
# Builds and tests the backend for the architectures a distribution ships
# besides amd64, as a packager builds it (Debian's cross compilers and
# multiarch packages, cmake/toolchains/), with no warning:
#   i386   every program built; the whole suite but the end-to-end scripts
#          run natively (an amd64 machine runs i386 programs);
#   arm64, armhf
#          every program built; the test programs run under qemu-user, each
#          without the cases that need a second thread or a child process
#          (tests/cross/qemu_skips.txt): qemu-user hangs or crashes as soon
#          as an emulated program starts either, so thread creation is
#          refused there (tests/host/resource_shim.c) and the backend scales
#          on the caller's thread, as it does wherever no thread can start;
#          on arm64 also one job of bench_resample, its vector code over its
#          portable code, labelled as emulated (tests/cross/bench_under_qemu.sh);
#   all    the frame table scanned through every build and compared byte for
#          byte with amd64's (tests/cross/frame_check.sh).
# The packages of these architectures are checked in a fresh system
# (tests/fresh/fresh_system.sh). Installs what it needs
# (scripts/cross_setup.sh, as root). Uses the amd64 build in build/ (or
# $BUILD_DIR) when there is one, else makes it.
#   ORVELA_CROSS_ARCHES="i386 arm64" picks architectures.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
arches=${ORVELA_CROSS_ARCHES:-i386 arm64 armhf}
native=${BUILD_DIR:-$top/build}
jobs=$(nproc)
"$top/scripts/cross_setup.sh" $arches
failed=0
note() { echo "-- $*"; }

[ -f "$native/lab/job_repeat" ] || "$top/scripts/build.sh" >/dev/null

for arch in $arches; do
  dir=$top/build-$arch start=$SECONDS
  mkdir -p "$dir"
  # The library as the README's package build makes it, so that the objects
  # of a package built in the same folder are used again, and the tests. A
  # warning fails the build as -Werror would (that flag would make every
  # object new); the package build's own warnings are its caller's to read.
  if ! { cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/$arch.cmake" -DBUILD_TESTING=ON \
           >"$dir/cross-build.log" 2>&1 &&
         cmake --build "$dir" -j"$jobs" >>"$dir/cross-build.log" 2>&1 &&
         ! grep -q ': warning:' "$dir/cross-build.log"; }; then
    note "$arch: build FAILED"; grep -E 'error|warning' "$dir/cross-build.log" | head -20
    failed=1
    continue
  fi
  note "$arch: library and every program built in $((SECONDS - start)) s"
done

# The architectures' tests run side by side (qemu-user runs a program on one
# thread), each followed by the frame table scanned through its build and
# amd64's and compared byte for byte (tests/cross/frame_check.sh, in a
# network namespace of its own), so that one's emulated scans overlap
# another's tests. Each reports into a file that is shown when all have ended.
frames() {  # ARCH BUILD_DIR
  local rc=0
  unshare -n "$top/tests/cross/frame_check.sh" "amd64=$native" "$1=$2" >"$2/cross-frames.log" 2>&1 || rc=1
  grep -E "^(FAIL|$1: [0-9]+ frames)" "$2/cross-frames.log" | sed 's/^/-- /'
  return $rc
}
runs=()
for arch in $arches; do
  dir=$top/build-$arch start=$SECONDS
  [ -f "$dir/lib/libsane-orvela.so.1" ] || continue
  {
    rc=0
    if [ "$arch" = i386 ]; then
      if (cd "$dir" && ctest -j"$jobs" --timeout 900 -E '^(e2e_|frontend_load)' >"$dir/tests.log" 2>&1); then
        note "i386: $(grep -E 'tests passed' "$dir/tests.log") ($((SECONDS - start)) s)"
      else
        note "i386: tests FAILED"; grep -E '\*\*\*|tests passed' "$dir/tests.log"
        rc=1
      fi
    else
      "$top/tests/cross/run_under_qemu.sh" "$dir" >"$dir/qemu-summary.log" 2>&1 || rc=1
      # arm64 has vector code (NEON): how much it gains, emulated.
      if [ "$arch" = arm64 ]; then
        "$top/tests/cross/bench_under_qemu.sh" "$dir" >>"$dir/qemu-summary.log" 2>&1 || rc=1
      fi
      while read -r line; do note "$arch: $line"; done <"$dir/qemu-summary.log"
      note "$arch: ($((SECONDS - start)) s)"
    fi
    frames "$arch" "$dir" || rc=1
    exit $rc
  } >"$dir/tests-summary.log" 2>&1 &
  runs+=("$!:$dir")
done
for run in "${runs[@]}"; do wait "${run%%:*}" || failed=1; cat "${run#*:}/tests-summary.log"; done
exit $failed
