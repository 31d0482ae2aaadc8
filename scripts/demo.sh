#!/bin/bash
# The main job: installs what is needed, builds the backend and the lab (the
# simulator and its helpers; not the tests), then scans an A4 page with
# scanimage from the bundled scanner simulator and prints the PNG's path.
#
# The simulator (with a real SNMP agent beside it, as a networked scanner
# has) runs in a private network namespace that exists only for the length of
# this script, so the backend's discovery broadcast reaches no real network;
# scanimage uses a SANE configuration that lists only this backend.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/setup.sh"
ORVELA_BUILD_TARGETS=lab_bin "$top/scripts/build.sh"
mkdir -p "$top/out"
LAB_BIN=$build/lab ORVELA_LIBDIR=$build/lib OUT=$top/out unshare -n "$top/scripts/demo_scan.sh"
