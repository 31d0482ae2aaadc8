#!/bin/bash
# Runs inside a fresh network namespace (see demo.sh): one simulated network
# scanner, a device search, and an A4 colour page at 300 dpi into $OUT/page.png.
set -eu
. "$(dirname "$0")/../tests/e2e/lab_lib.sh"
lab_init
lab_bridge br0 10.231.1.10/24
lab_device scanner br0 10.231.1.21/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;CMD:PCL;" OR-DEMO-0001
export SANE_CONFIG_DIR=$(lab_sane_config) LD_LIBRARY_PATH=$ORVELA_LIBDIR
echo "Searching for scanners (takes about 7 s)..."
scanimage -L
start=$(date +%s.%N)
scanimage -d orvela:socket://10.231.1.21 --mode Color --resolution 300 --"Page Size" "A4 (210 x 297 mm)" \
  --format=png -o "$OUT/page.png"
end=$(date +%s.%N)
printf 'Scanned an A4 page at 300 dpi in %.1f s: %s\n' "$(echo "$end - $start" | bc)" "$OUT/page.png"
