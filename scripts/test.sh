#!/bin/bash
# Installs what is needed, builds, and runs every test:
#   0. the library alone in every build type, with gcc and clang and with
#      Debian's hardening flags, warnings as errors (scripts/build_variants.sh);
#   1. the normal build and its whole test suite (unit tests, simulator and
#      USB-emulation tests, real frontends in private network namespaces);
#   2. the unit and simulator tests again in an AddressSanitizer +
#      UndefinedBehaviorSanitizer build, and scanimage scanning through that
#      build's backend;
#   3. the threaded tests (cancel during a transfer, the streaming decoder's
#      worker) in a ThreadSanitizer build;
#   4. a short run of each fuzz target (clang's libFuzzer) over its corpus;
#   5. in fresh Debian 12 and Debian 13 roots, side by side, the README's
#      commands and the packages of four (Debian 13: three) architectures;
#      then, in the Debian 12 root, the i386, arm64 and armhf builds, their
#      tests and the frame table across architectures
#      (tests/fresh/fresh_system.sh).
# ORVELA_TEST_STAGES picks stages (default "0 1 2 3 4 5").
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
stages=${ORVELA_TEST_STAGES:-0 1 2 3 4 5}
jobs=$(nproc)
"$top/scripts/setup.sh"
failed=0
asked() { case " $stages " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

# Stage 5 leaves the processors idle for long stretches (package installs,
# emulated programs on one thread): it runs beside the others, in a session
# of its own (not a child that the fuzz stage's waits would see) whose
# scheduling group has the lowest priority, its output and status kept until
# its turn. It ends with this script.
if asked 5; then
  fresh_log=$top/build-fresh-system.log fresh=$(mktemp -d)
  (setsid bash -c '{ echo 19 >/proc/self/autogroup; } 2>/dev/null; nice -n 19 "$0" >"$1" 2>&1; echo $? >"$2/status"' \
     "$top/tests/fresh/fresh_system.sh" "$fresh_log" "$fresh" & echo $! >"$fresh/pid")
  trap '[ -s "$fresh/status" ] || kill -- -"$(cat "$fresh/pid")" 2>/dev/null; rm -rf "$fresh"' EXIT
fi

# stage N: true when stage N is asked for; also reports how long the stage
# before it took.
stage_started=
stage() {
  asked "$1" || return 1
  stage_done
  stage_started=$SECONDS
  return 0
}
stage_done() { [ -z "$stage_started" ] || echo "   (stage took $((SECONDS - stage_started)) s)"; stage_started=; }
# An instrumented build (stages 2 to 4): -O1 with line tables only, which is
# what the sanitizers need for their reports and compiles about 2.5 times
# faster than -O2 -g with their instrumentation.
configure_instrumented() {  # DIR SANITIZERS [CMAKE ARGS...]
  local dir=$1 sanitizers=$2; shift 2
  cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVELA_WERROR=ON -DORVELA_SANITIZE="$sanitizers" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" "$@" >/dev/null
}

if stage 0; then
  echo "== build variants: the library alone"
  # gcc's RelWithDebInfo build with warnings as errors is stage 1's.
  ORVELA_VARIANTS_SKIP=$(asked 1 && echo gcc:RelWithDebInfo) "$top/scripts/build_variants.sh" || failed=1
fi

if stage 1; then
  echo "== normal build: all tests"
  "$top/scripts/build.sh" -DORVELA_WERROR=ON
  # The package's run (e2e_package) is stage 5's, in a fresh system.
  skip=$(asked 5 && echo '^e2e_package$' || echo '^$')
  (cd "${BUILD_DIR:-$top/build}" && ctest --output-on-failure -j"$jobs" --timeout 900 -E "$skip") || failed=1
fi

# The valgrind runs, the address-space limits of the fault runs and saned
# (which starts its children with a clean environment) do not go with a
# sanitizer runtime: most end-to-end scripts run in stage 1 only.
no_host_tests='^(e2e_|frontend_load|exported_symbols|usb_transport_valgrind)'

if stage 2; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
  dir=$top/build-ci-asan
  configure_instrumented "$dir" address,undefined
  cmake --build "$dir" -j"$jobs" >/dev/null
  (cd "$dir" && ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     ctest --output-on-failure -j"$jobs" --timeout 900 -E "$no_host_tests") || failed=1
  # scanimage scanning through the instrumented backend: the sanitizer runtime
  # is preloaded into every program of the run, so that it comes first in the
  # uninstrumented frontend. Leak checks stay off for those programs.
  (cd "$dir" && LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 \
     UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     ctest --output-on-failure -j"$jobs" --timeout 900 -R '^(e2e_scanimage|e2e_discovery)$') || failed=1
fi

if stage 3; then
  echo "== ThreadSanitizer build: threaded tests"
  dir=$top/build-ci-tsan
  configure_instrumented "$dir" thread
  cmake --build "$dir" -j"$jobs" --target test_jpegdecompress test_frontend_scan test_driver_sim test_scan_job >/dev/null
  # The two differential tests (every frame-table case through both
  # deliveries, three minutes under the sanitizer) run the threads that the
  # other ScanJob and Frame cases run, many times over: their bytes are
  # checked in stages 1 and 2.
  (cd "$dir" && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
     ctest --output-on-failure -j"$jobs" --timeout 900 -R '^(JpegDecompress|ScanJob|SimDriver|Frame)\.' \
       -E '^ScanJob\.(BothDeliveriesServeWhatTheyServedBefore|StreamingServesTheWholePagePathsBytes)$') || failed=1
fi

if stage 4; then
  echo "== fuzz targets, short runs"
  dir=$top/build-ci-fuzz
  CC=clang CXX=clang++ configure_instrumented "$dir" address,undefined
  targets="snmp_readers:snmp jpeg_stream:jpeg device_id:device_id page_stream:page_stream page_decode:page_decode options:options"
  cmake --build "$dir" -j"$jobs" --target $(for t in $targets; do printf 'fuzz_%s ' "${t%%:*}"; done) >/dev/null
  # Each target runs ORVELA_FUZZ_SECONDS (default 30) over its corpus; up to
  # one target per processor at a time, so six targets take a minute and a
  # half on two processors (fuzz/run_fuzzers.sh runs them for longer).
  fuzz_one() {  # NAME CORPUS: the verdict on stdout, 1 on a finding
    local name=$1 corpus=$top/fuzz/corpus/$2 work
    work=$(mktemp -d)
    if UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$dir/fuzz/fuzz_$name" -max_total_time="${ORVELA_FUZZ_SECONDS:-30}" \
         -print_final_stats=1 -timeout=10 -artifact_prefix="$work/" "$work" "$corpus" >"$work/log" 2>&1; then
      echo "fuzz_$name: $(grep -E 'stat::number_of_executed_units' "$work/log" | awk '{print $2}') executions, cov $(grep -o 'cov: [0-9]*' "$work/log" | tail -1 | awk '{print $2}'), no finding"
      rm -rf "$work"
    else
      echo "fuzz_$name FAILED; log and crash input kept in $work"; tail -40 "$work/log"
      return 1
    fi
  }
  started=0 finished=0
  for target in $targets; do
    while [ $((started - finished)) -ge "$jobs" ]; do wait -n || failed=1; finished=$((finished + 1)); done
    fuzz_one "${target%%:*}" "${target##*:}" &
    started=$((started + 1))
  done
  while [ $finished -lt $started ]; do wait -n || failed=1; finished=$((finished + 1)); done
fi

if stage 5; then
  echo "== fresh Debian 12 and 13 systems; other architectures: i386, arm64, armhf"
  while [ ! -s "$fresh/status" ]; do sleep 5; done
  cat "$fresh_log"
  [ "$(cat "$fresh/status")" = 0 ] || failed=1
fi

stage_done
[ $failed = 0 ] && echo "all test stages passed in $SECONDS s" || echo "some test stage failed"
exit $failed
