#!/bin/bash
# Includes point down the layers only:
#   core/ (SANE front end, driver layer, image processing)
#     -> protocol/ (command protocol) -> backend/ (transports, discovery)
#     -> common/ (shared records, codecs, model table, log)
# and inside core/scan/:
#   sane/ (entry points, options, the handle record, which holds the job)
#     -> job/ (the scan job: its record, its pages, given a plain page order)
#     -> page/ (page file, decoders, row pipeline, frame lines) and driver/ (Drv_*)
#     -> imageproc/ (rescaling, bi-level)
# The job never sees the SANE glue; page code never sees either; the driver
# layer knows no page or job; image processing includes none of them.
# A file may include its own layer and the ones below it, never one above.
# usage: check_layers.sh SOURCE_DIR
set -eu
cd "$1"
failed=0
check() {  # LAYER FORBIDDEN...
  local layer=$1 hits
  shift
  for above in "$@"; do
    hits=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]+\"$above/" "$layer" || true)
    if [ -n "$hits" ]; then
      echo "$layer/ includes from $above/, a layer above it:"; echo "$hits" | sed 's/^/  /'
      failed=1
    fi
  done
}
check core/scan/job core/scan/sane
check core/scan/page core/scan/sane core/scan/job
check core/scan/driver core/scan/sane core/scan/job core/scan/page core/scan/imageproc
check core/scan/imageproc core/scan/sane core/scan/job core/scan/page core/scan/driver
check protocol core
check backend core protocol
check common core protocol backend
[ $failed = 0 ] && echo "includes point down the layers"
exit $failed
