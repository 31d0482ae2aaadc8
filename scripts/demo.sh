#!/bin/bash
# Installs what is needed, builds, and shows the backend loaded by a real SANE
# frontend: scanimage -L inside a private network namespace (so that no
# discovery traffic reaches a real network), with a SANE configuration that
# lists only this backend.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
cfg=$(mktemp -d)
trap 'rm -rf "$cfg"' EXIT
echo orvela > "$cfg/dll.conf"
SANE_CONFIG_DIR=$cfg LD_LIBRARY_PATH=${BUILD_DIR:-$top/build}/lib unshare -n scanimage -L
