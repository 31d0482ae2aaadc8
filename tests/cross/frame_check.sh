#!/bin/bash
# The same simulated pages scanned through the backend as built for several
# architectures: every frame must equal the first build's byte for byte
# (colour, grey and black-and-white; shrinking, enlarging and off-list
# resolutions; flatbed and feeder, on a model whose positions are mirrored).
# Runs inside a fresh network namespace (unshare -n). The simulator is the
# first build's; each build's own job_repeat loads its own library, under
# qemu-user where the build is for another processor, and there with thread
# creation refused (qemu-user cannot run a second thread of the program), so
# that the backend also scales on the caller's thread.
#
#   frame_check.sh NAME=BUILD_DIR NAME=BUILD_DIR...
#   e.g. unshare -n frame_check.sh amd64=build i386=build-i386 arm64=build-arm64
set -eu
[ $# -ge 2 ] || { echo "usage: $0 NAME=BUILD_DIR NAME=BUILD_DIR..." >&2; exit 2; }
reference_dir=${1#*=}
export LAB_BIN=$reference_dir/lab
. "$(dirname "$0")/../e2e/checks_lib.sh"
. "$(dirname "$0")/qemu_lib.sh"
lab_init
lab_bridge br1 10.231.7.10/24
lab_sim_device mirrored br1 10.231.7.21/24 --model OR-M2270fdw --sheets 1000
DEVICE=socket://10.231.7.21

# One scan a row (tests/cross/frame_table.txt): its option settings, separated by "|".
frames=()
while IFS= read -r row; do
  case $row in ''|'#'*) ;; *) frames+=("$row") ;; esac
done <"$(dirname "$0")/frame_table.txt"

scan_all() {  # NAME BUILD_DIR: one frame file per row under $LAB_RUN/NAME
  local name=$1 dir=$2 runner i row args
  runner=$(cross_runner "$dir/tests/host/job_repeat")
  mkdir -p "$LAB_RUN/$name"
  for i in "${!frames[@]}"; do
    row=${frames[$i]}
    IFS='|' read -ra args <<<"$row"
    if QEMU_SET_ENV=$(cross_environment "$dir") \
       timeout 600 $runner "$dir/tests/host/job_repeat" "$dir/lib/libsane-orvela.so.1" "$DEVICE" 1 "${args[@]}" \
         --frame "$LAB_RUN/$name/$i.frame" >"$LAB_RUN/$name/$i.log" 2>&1; then
      ok
    else
      bad "$name: $row: $(tail -3 "$LAB_RUN/$name/$i.log")"
      rm -f "$LAB_RUN/$name/$i.frame"
    fi
  done
}

reference=${1%%=*}
start=$SECONDS
scan_all "$reference" "$reference_dir"
echo "$reference: ${#frames[@]} frames in $((SECONDS - start)) s"
shift
for build in "$@"; do
  name=${build%%=*} dir=${build#*=} start=$SECONDS
  scan_all "$name" "$dir"
  same=0
  for i in "${!frames[@]}"; do
    # (A scan that failed was counted already.)
    [ -f "$LAB_RUN/$reference/$i.frame" ] && [ -f "$LAB_RUN/$name/$i.frame" ] || continue
    if cmp -s "$LAB_RUN/$reference/$i.frame" "$LAB_RUN/$name/$i.frame"; then
      same=$((same + 1))
      ok
    else
      bad "$name differs from $reference: ${frames[$i]}: $(cmp "$LAB_RUN/$reference/$i.frame" "$LAB_RUN/$name/$i.frame" 2>&1 | head -1)"
    fi
  done
  echo "$name: ${#frames[@]} frames in $((SECONDS - start)) s, $same byte for byte as $reference's"
done
finish
