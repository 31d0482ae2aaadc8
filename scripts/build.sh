#!/bin/bash
# Configures and builds the project into build/ (or $BUILD_DIR): everything,
# or the targets of ORVELA_BUILD_TARGETS.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" ${ORVELA_BUILD_TARGETS:+--target $ORVELA_BUILD_TARGETS}
