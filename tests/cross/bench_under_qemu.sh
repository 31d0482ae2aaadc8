#!/bin/bash
# The resampler's vector code over its portable code on an emulated
# processor: one short job of an arm64 build's bench_resample under
# qemu-user, one round each (the emulator's times say little about a real
# processor's, the ratio a little more: both paths are emulated alike).
# Prints one line per image type, labelled as emulated.
#   bench_under_qemu.sh BUILD_DIR [JOB]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/qemu_lib.sh"
dir=$(cd "$1" && pwd) job=${2:-300to100}
bench=$dir/bench/resample/bench_resample
[ -x "$bench" ] || { echo "no $bench"; exit 1; }
arch=$(readelf -h "$bench" | sed -n 's/^ *Machine: *//p')
QEMU_SET_ENV=$(cross_environment "$dir") $(cross_runner "$bench") "$bench" --reps 1 --job "$job" |
  awk -v arch="$arch" '
    / vector code: / { sub(/.* vector code: /, ""); code = $0 }
    /^RESULT/ {
      for (i = 3; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
      printf "%s (emulated, qemu-user): %s %s: vector code %s / portable code: %sx faster, bytes identical: %s\n",
             arch, substr($2, 5), $3, code, v["vector_over_portable_1T"], v["identical"]
      n++
    }
    END { exit n == 0 }'
