#!/bin/bash
# A real frontend loads the backend: scanimage -L inside a private network
# namespace, with a private SANE configuration that lists only this backend.
# usage: frontend_load.sh LIBRARY_DIR
set -u
libdir=$1
cfg=$(mktemp -d)
trap 'rm -rf "$cfg"' EXIT
echo orvela > "$cfg/dll.conf"
out=$(SANE_CONFIG_DIR=$cfg LD_LIBRARY_PATH=$libdir SANE_DEBUG_DLL=4 timeout 120 unshare -n scanimage -L 2>&1)
rc=$?
echo "$out" | tail -n 20
[ $rc -eq 124 ] && { echo "scanimage -L hung"; exit 1; }
[ $rc -ge 128 ] && { echo "scanimage -L died with signal $((rc - 128))"; exit 1; }
echo "$out" | grep -q "init: backend \`orvela' is version 1.3.1" || { echo "backend not initialised by dll"; exit 1; }
echo "scanimage -L exited with $rc"
