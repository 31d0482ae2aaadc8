#!/bin/bash
# Includes point down the layers only:
#   core/ (SANE front end, driver layer, image processing)
#     -> protocol/ (command protocol) -> backend/ (transports, discovery)
#     -> common/ (shared records, codecs, model table, log)
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
check protocol core
check backend core protocol
check common core protocol backend
[ $failed = 0 ] && echo "includes point down the layers"
exit $failed
