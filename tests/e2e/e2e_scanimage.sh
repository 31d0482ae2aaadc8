#!/bin/bash
# Scanning through scanimage against simulated network scanners: every mode,
# the resolutions of the lists and one off the list, each page size, a feeder
# batch, the frontend's conformance test, and a scan of a scanner on a subnet
# of its own opened by address; then a subset through the streaming path,
# byte for byte against the whole-page path's pages. Each image is checked
# against the chart the simulator draws: its size and where on the bed its
# top-left corner lies.
set -eu
. "$(dirname "$0")/checks_lib.sh"
e2e_lab
lab_bridge br1 10.231.1.10/24
lab_device flat br1 10.231.1.21/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0001
lab_device feeder br1 10.231.1.22/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;" OR-0002 \
  --sheets 3 --right-rear
lab_device feeds br1 10.231.1.23/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;" OR-0003 \
  --sheets 3 --right-rear

DEV=orvela:socket://10.231.1.21
FEED=orvela:socket://10.231.1.22
FEEDS=orvela:socket://10.231.1.23

# Listing.
list=$(scanimage -L 2>&1) || true
echo "$list" | grep -qF "device \`$DEV' is a Orvela OR-M1020 Scanner" && ok || bad "scanimage -L: $list"
echo "$list" | grep -qF "device \`$FEED' is a Orvela OR-M2270fdw Scanner" && ok || bad "scanimage -L: $list"

# Modes and resolutions, on a 4 x 6 in page (the geometry options are read
# only: the page size places the area).
for mode in Color Gray "Black & White"; do
  for res in 75 100 150 200 250 300 400 600 1200; do
    f=$OUT/m-${mode// /}-$res.pnm
    if ! scanimage -d "$DEV" --mode "$mode" --resolution "$res" --"Page Size" "4x6 in" --format=pnm -o "$f" 2>"$f.err"; then
      bad "scan $mode $res: $(cat "$f.err")"
    elif [ "$mode" = "Black & White" ]; then
      # The chart cannot be read through the dither; the page must be the
      # grey page of the same scan, thresholded.
      check_bilevel "$mode $res dpi" "$f" "$OUT/m-Gray-$res.pnm"
    else
      check_image "$f" "$res" 101.6 152.4 0 0
    fi
  done
done

# Page sizes on the flatbed, grey at 100 dpi.
while IFS='|' read -r size w h; do
  f=$OUT/p-${size%% *}.pnm
  if scanimage -d "$DEV" --mode Gray --resolution 100 --"Page Size" "$size" --format=pnm -o "$f" 2>"$f.err"; then
    check_image "$f" 100 "$w" "$h" 0 0
  else
    bad "page size $size: $(cat "$f.err")"
  fi
done <<'SIZES'
Full Size|215.9|297
A4 (210 x 297 mm)|210|297
Letter (8.5 x 11 in)|215.9|279.4
A5 (148 x 210 mm)|148|210
B5 (182 x 257 mm)|182|257
4x6 in|101.6|152.4
SIZES

# On a device whose reference point is the right rear corner, a page lies
# against the far side of the bed: A5 starts 67.9 mm from the left edge.
f=$OUT/rr-a5.pnm
scanimage -d "$FEED" --mode Color --resolution 150 --"Page Size" "A5 (148 x 210 mm)" --format=pnm -o "$f" 2>"$f.err" &&
  check_image "$f" 150 148 210 67.9 0 || bad "right-rear A5: $(cat "$f.err")"

# Feeder batch: three sheets, then the feeder is empty; A5 sheets are centred
# on the 215.9 mm path.
rc=0
(cd "$OUT" && scanimage -d "$FEED" --source "Automatic Document Feeder" --mode Gray --resolution 100 \
   --"Page Size" "A5 (148 x 210 mm)" --format=pnm --batch=adf%d.pnm >/dev/null 2>"$OUT/adf.err") || rc=$?
n=$(ls "$OUT"/adf*.pnm 2>/dev/null | wc -l)
[ $rc = 0 ] && [ "$n" = 3 ] && ok || bad "feeder batch: rc=$rc pages=$n $(cat "$OUT/adf.err")"
for i in 1 2 3; do check_image "$OUT/adf$i.pnm" 100 148 210 33.95 0; done

# The streaming path (orvela.conf: scan streaming on) gives the pages above
# byte for byte: a mode and resolution of each kind, the feeder batch, 1 KiB
# reads at 1200 dpi (the small-buffer scan below), and the conformance test.
STREAM_CFG=$(lab_sane_config streaming)
stream_scan() { SANE_CONFIG_DIR=$STREAM_CFG timeout 120 scanimage "$@"; }
for pair in "Color 200" "Gray 1200" "Black & White 150" "Color 75" "Gray 250" "Black & White 400"; do
  mode=${pair% *} res=${pair##* }
  f=$OUT/stream-${mode// /}-$res.pnm
  stream_scan -d "$DEV" --mode "$mode" --resolution "$res" --"Page Size" "4x6 in" --format=pnm -o "$f" 2>"$f.err" &&
    cmp -s "$f" "$OUT/m-${mode// /}-$res.pnm" && ok || bad "streaming $mode $res: not the whole-page bytes $(cat "$f.err")"
done
rc=0
(cd "$OUT" && stream_scan -d "$FEEDS" --source "Automatic Document Feeder" --mode Gray --resolution 100 \
   --"Page Size" "A5 (148 x 210 mm)" --format=pnm --batch=sadf%d.pnm >/dev/null 2>"$OUT/sadf.err") || rc=$?
n=$(ls "$OUT"/sadf*.pnm 2>/dev/null | wc -l)
[ $rc = 0 ] && [ "$n" = 3 ] && ok || bad "streaming feeder batch: rc=$rc pages=$n $(cat "$OUT/sadf.err")"
for i in 1 2 3; do cmp -s "$OUT/sadf$i.pnm" "$OUT/adf$i.pnm" && ok || bad "streaming feeder page $i differs"; done
t=$(SANE_CONFIG_DIR=$STREAM_CFG timeout 300 scanimage -d "$DEV" -T --resolution 75 2>&1) || true
echo "$t" | grep -q FAIL && bad "streaming scanimage -T: $(echo "$t" | grep FAIL | head -3)" || ok
f=$OUT/stream-small-buffer.pnm
stream_scan --buffer-size=1 -d "$DEV" --mode Gray --resolution 1200 --"Page Size" "4x6 in" --format=pnm -o "$f" \
  2>"$f.err" && ok || bad "streaming 1 KiB reads: $(cat "$f.err")"

# scanimage's own conformance test, small reads included.
t=$(timeout 300 scanimage -d "$DEV" -T --resolution 75 2>&1) || true
echo "$t" | grep -q FAIL && bad "scanimage -T: $(echo "$t" | grep FAIL | head -3)" || ok
f=$OUT/small-buffer.pnm
scanimage --buffer-size=1 -d "$DEV" --mode Gray --resolution 1200 --"Page Size" "4x6 in" --format=pnm -o "$f" \
  2>"$f.err" && check_image "$f" 1200 101.6 152.4 0 0 || bad "1 KiB reads: $(cat "$f.err")"
cmp -s "$f" "$OUT/stream-small-buffer.pnm" && ok || bad "streaming 1 KiB reads: not the whole-page bytes"

finish
