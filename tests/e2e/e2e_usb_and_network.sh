#!/bin/bash
# Scanners over the network and over USB at the same time, through scanimage:
# two simulated network scanners in the lab, and an emulated USB scanner
# (umockdev, the real libusb, the simulator's device model behind the bulk
# endpoints) served by usb_scanner_server to the frontend it runs as a child.
# Besides pages: a feeder run, a jam, a busy scanner, a pulled cable,
# python3-sane and saned on the USB scanner.
# The listing holds all of them, USB first; USB pages are checked against the
# chart like the network ones; a USB and a network page are scanned at once.
set -eu
. "$(dirname "$0")/checks_lib.sh"
e2e_lab
lab_bridge br1 10.231.1.10/24
lab_device flat br1 10.231.1.21/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0001
lab_device feeder br1 10.231.1.22/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;" OR-0002 \
  --sheets 3 --right-rear

SERVER=$LAB_BIN/usb_scanner_server
if [ ! -x "$SERVER" ]; then
  echo "usb_scanner_server is not built (umockdev or the simulator missing)"
  exit 1
fi

# usb [SERVER OPTIONS] -- COMMAND...: runs COMMAND with the emulated scanner
# plugged in; the server's report of what the device saw goes to
# $OUT/usb.log. The device must be unlocked again when the frontend has gone:
# each time it is not, a line in $OUT/usb-left-locked (counted at the end; usb
# often runs in a subshell, where the tally cannot be counted).
usb() {
  local rc=0
  timeout 300 "$SERVER" --stats-file "$OUT/usb.log" "$@" || rc=$?
  tail -1 "$OUT/usb.log" | grep -q "locked=0" || tail -1 "$OUT/usb.log" >>"$OUT/usb-left-locked"
  return $rc
}

USB=orvela:usb://5E5A:1001:SN0001
DEV=orvela:socket://10.231.1.21
FEED=orvela:socket://10.231.1.22

# Listing: the USB scanner first, then both network scanners, all of type
# "Scanner".
list=$(usb -- scanimage -L 2>&1) || true
first=$(echo "$list" | grep -m1 '^device')
[ "$first" = "device \`$USB' is a Orvela OR-M1020 Scanner" ] && ok || bad "first listed: $first (all: $list)"
echo "$list" | grep -qF "device \`$DEV' is a Orvela OR-M1020 Scanner" && ok || bad "scanimage -L: $list"
echo "$list" | grep -qF "device \`$FEED' is a Orvela OR-M2270fdw Scanner" && ok || bad "scanimage -L: $list"
[ "$(echo "$list" | grep -c '^device')" = 3 ] && ok || bad "three devices expected: $list"
# orvela.conf: the broadcast off leaves the USB scanner alone; USB off too, nothing.
echo "discovery broadcast off" >"$SANE_CONFIG_DIR/orvela.conf"
list=$(usb -- scanimage -L 2>&1) || true
[ "$(echo "$list" | grep '^device')" = "$first" ] && ok || bad "broadcast off: $list"
echo "usb off" >>"$SANE_CONFIG_DIR/orvela.conf"
list=$(usb -- scanimage -L 2>&1) || true
echo "$list" | grep -q '^device' && bad "USB and broadcast off: $list" || ok
rm "$SANE_CONFIG_DIR/orvela.conf"

# orvela-discover: the USB scanner's name and node, which root may open; a
# user outside the node's group may not, and is told why and the mend.
nb=$(mktemp -d) && chmod 755 "$nb" && mkdir "$nb/cfg" && cp "$LAB_BIN/orvela-discover" "$nb/"
echo "discovery broadcast off" >"$nb/cfg/orvela.conf"
d=$(SANE_CONFIG_DIR=$nb/cfg usb -- "$nb/orvela-discover" 2>&1) && drc=0 || drc=$?
echo "$d"
check "discover: the USB scanner" grep -qxF "# $USB  Orvela OR-M1020  USB 5E5A:1001  bus 001 device 002" <<<"$d"
check "discover: root may open it" grep -qxF "#   /dev/bus/usb/001/002: user root may open it" <<<"$d"
as_nobody='chmod -R a+rwX "$UMOCKDEV_DIR" && chmod 0660 "$UMOCKDEV_DIR/dev/bus/usb/001/002" &&
  chgrp lp "$UMOCKDEV_DIR/dev/bus/usb/001/002" && exec setpriv --reuid=65534 --regid=65534 --clear-groups "$@"'
d=$(SANE_CONFIG_DIR=$nb/cfg usb -- sh -c "$as_nobody" sh "$nb/orvela-discover" 2>&1) && drc=$drc:0 || drc=$drc:$?
echo "$d"
for line in "# (not listed: it could not be opened)  Orvela OR-M1020  USB 5E5A:1001  bus 001 device 002" \
    "#   /dev/bus/usb/001/002: user nobody may not open it" \
    "#   /dev/bus/usb/001/002: owner root, group lp, mode 0660"; do
  check "discover as nobody: $line" grep -qxF "$line" <<<"$d"
done
check "discover as nobody: whether the hwdb entry matched" \
  grep -qE "^#   the package's hwdb entry matched it: (yes|no|unknown)$" <<<"$d"
check "discover as nobody: the group to join" grep -qF "or add nobody to group lp (sudo adduser nobody lp)" <<<"$d"
check "discover: status 0 with a USB scanner, usable or not" test "$drc" = 0:0
rm -r "$nb"

# USB pages, opened by name in a process that never searched: colour and grey
# on the chart, black-and-white against its grey page.
for mode in Color Gray "Black & White"; do
  f=$OUT/usb-${mode// /}.pnm
  if ! usb -- scanimage -d "$USB" --mode "$mode" --resolution 150 --"Page Size" "4x6 in" --format=pnm -o "$f" \
       2>"$f.err"; then
    bad "USB scan $mode: $(cat "$f.err")"
  elif [ "$mode" = "Black & White" ]; then
    check_bilevel "USB black and white" "$f" "$OUT/usb-Gray.pnm"
  else
    check_image "$f" 150 101.6 152.4 0 0
  fi
done
f=$OUT/usb-a4-300.pnm
usb -- scanimage -d "$USB" --mode Color --resolution 300 --"Page Size" "A4 (210 x 297 mm)" --format=pnm -o "$f" \
  2>"$f.err" && check_image "$f" 300 210 297 0 0 || bad "USB A4 300 dpi: $(cat "$f.err")"

# python3-sane on the USB scanner: a colour page equal to scanimage's.
usb -- /usr/bin/python3 - "$USB" "$OUT/py-usb.pnm" 2>"$OUT/py-usb.err" <<'PY' ||
import sys
import sane
sane.init()
dev = sane.open(sys.argv[1])
dev.mode = "Color"
dev.resolution = 150
setattr(dev, "Page Size", "4x6 in")
dev.scan().save(sys.argv[2])
dev.close()
PY
  true
r=$(same_pixels "$OUT/py-usb.pnm" "$OUT/usb-Color.pnm" 2>&1) && ok || bad "python3-sane over USB: $r $(tail -2 "$OUT/py-usb.err")"

# The USB scanner shared through saned: saned (started inetd style on
# 127.0.0.1:6566 of this namespace) runs under the emulated bus; the client
# loads only the net backend. The page equals the one scanned locally.
lab_saned_config
usb -- bash -c '
  systemd-socket-activate -l 127.0.0.1:6566 --inetd -a -E LD_LIBRARY_PATH -E LD_PRELOAD -E UMOCKDEV_DIR \
    --setenv=SANE_CONFIG_DIR="$1" /usr/sbin/saned -e </dev/null >/dev/null 2>"$3/saned.err" &
  sa=$!
  for _ in $(seq 1 100); do grep -q "Listening on" "$3/saned.err" && break; sleep 0.05; done
  SANE_CONFIG_DIR=$2 LD_LIBRARY_PATH= timeout 120 scanimage -d "net:127.0.0.1:$4" --mode Color --resolution 150 \
    --"Page Size" "4x6 in" --format=pnm -o "$3/saned-usb.pnm"
  rc=$?
  kill $sa
  wait $sa
  exit $rc' x "$SRV" "$CLI" "$OUT" "$USB" 2>"$OUT/saned-usb.err" || true
cmp -s "$OUT/saned-usb.pnm" "$OUT/usb-Color.pnm" && ok ||
  bad "USB page through saned: $(cat "$OUT/saned-usb.err" "$OUT/saned.err" 2>/dev/null | tail -5)"

# A serial number with characters that do not belong in a device name is
# escaped in the name, and that name opens the device.
ESC='orvela:usb://5E5A:1001:SN%2007%2FB'
list=$(usb --serial "SN 07/B" -- scanimage -L 2>&1) || true
echo "$list" | grep -qF "device \`$ESC' is a Orvela OR-M1020 Scanner" && ok || bad "escaped serial: $list"
f=$OUT/usb-escaped.pnm
usb --serial "SN 07/B" -- scanimage -d "$ESC" --mode Gray --resolution 100 --"Page Size" "4x6 in" --format=pnm \
  -o "$f" 2>"$f.err" && check_image "$f" 100 101.6 152.4 0 0 || bad "open by escaped name: $(cat "$f.err")"

# A feeder model over USB (right-rear reference point): three sheets, then
# the batch ends; A5 sheets are centred on the 215.9 mm path.
mkdir -p "$OUT/usbadf"
rc=0
(cd "$OUT/usbadf" && usb --pid 1006 --product OR-M2270fdw --serial FD0001 --sheets 3 --right-rear -- \
   scanimage -d orvela:usb://5E5A:1006:FD0001 --source "Automatic Document Feeder" --mode Gray --resolution 100 \
   --"Page Size" "A5 (148 x 210 mm)" --format=pnm --batch=adf%d.pnm >/dev/null 2>"$OUT/usbadf.err") || rc=$?
n=$(ls "$OUT"/usbadf/adf*.pnm 2>/dev/null | wc -l)
[ $rc = 0 ] && [ "$n" = 3 ] && ok || bad "USB feeder batch: rc=$rc pages=$n $(cat "$OUT/usbadf.err")"
for i in 1 2 3; do check_image "$OUT/usbadf/adf$i.pnm" 100 148 210 33.95 0; done

# A jam on the second sheet ends the batch with the first page kept and the
# scanner released; a scanner busy at the first lock is waited out.
mkdir -p "$OUT/jam"
rc=0
(cd "$OUT/jam" && usb --pid 1006 --product OR-M2270fdw --serial FD0002 --sheets 3 --right-rear --jam-at-page 2 -- \
   scanimage -d orvela:usb://5E5A:1006:FD0002 --source "Automatic Document Feeder" --mode Gray --resolution 100 \
   --format=pnm --batch=jam%d.pnm >/dev/null 2>"$OUT/jam.err") || rc=$?
[ $rc != 0 ] && [ "$(ls "$OUT"/jam/jam*.pnm 2>/dev/null | wc -l)" = 1 ] && grep -q "Document feeder jammed" "$OUT/jam.err" &&
  ok || bad "jam over USB: rc=$rc $(ls "$OUT/jam") $(cat "$OUT/jam.err")"
f=$OUT/busy.pnm
usb --busy 1 -- scanimage -d "$USB" --mode Gray --resolution 100 --"Page Size" "4x6 in" --format=pnm -o "$f" 2>"$f.err" &&
  check_image "$f" 100 101.6 152.4 0 0 || bad "busy scanner over USB: $(cat "$f.err")"

# The cable is pulled in the middle of a page: the frontend hears of an I/O
# error at once, neither hanging nor crashing.
f=$OUT/unplug.pnm
t0=$(date +%s)
rc=0
timeout 120 "$SERVER" --stats-file "$OUT/unplug.log" --band-size 4096 --band-delay 50 --unplug-after 1000 -- \
  scanimage -d "$USB" --mode Gray --resolution 300 --"Page Size" "4x6 in" --format=pnm -o "$f" 2>"$f.err" || rc=$?
t1=$(date +%s)
grep -q "Error during device I/O" "$f.err" && [ $rc != 0 ] && [ $rc -lt 124 ] && [ $((t1 - t0)) -le 20 ] &&
  ! grep -q " 0 bytes of page data" "$OUT/unplug.log" && ok ||
  bad "unplugged mid-page: rc=$rc after $((t1 - t0)) s: $(grep -v uevent "$f.err") $(cat "$OUT/unplug.log")"

# scanimage's conformance test and 1 KiB reads over USB.
t=$(usb -- scanimage -d "$USB" -T --resolution 75 2>&1) || true
echo "$t" | grep -q "stepped read.*PASS" && ! echo "$t" | grep -q FAIL && ok ||
  bad "scanimage -T over USB: $(echo "$t" | grep -v PASS | head -5)"
f=$OUT/usb-small-buffer.pnm
usb -- scanimage --buffer-size=1 -d "$USB" --mode Gray --resolution 600 --"Page Size" "4x6 in" --format=pnm -o "$f" \
  2>"$f.err" && check_image "$f" 600 101.6 152.4 0 0 || bad "1 KiB reads over USB: $(cat "$f.err")"

# One page over USB and one over the network at the same time, from two
# frontends running side by side under the same emulated bus.
usb -- bash -c '
  scanimage -d "$1" --mode Color --resolution 200 --"Page Size" "A5 (148 x 210 mm)" --format=pnm -o "$3/both-usb.pnm" 2>"$3/both-usb.err" &
  u=$!
  scanimage -d "$2" --mode Color --resolution 200 --"Page Size" "A5 (148 x 210 mm)" --format=pnm -o "$3/both-net.pnm" 2>"$3/both-net.err"
  n=$?
  wait $u && [ $n = 0 ]' both "$USB" "$DEV" "$OUT" || bad "side-by-side scans: $(cat "$OUT"/both-*.err)"
check_image "$OUT/both-usb.pnm" 200 148 210 0 0
check_image "$OUT/both-net.pnm" 200 148 210 0 0
# Both devices draw the same chart: the two pages cover the same area.
u=$("$LAB_BIN/image_check" "$OUT/both-usb.pnm" 200 2>/dev/null | sed 's/ cells=.*//') || true
n=$("$LAB_BIN/image_check" "$OUT/both-net.pnm" 200 2>/dev/null | sed 's/ cells=.*//') || true
[ -n "$u" ] && [ "$u" = "$n" ] && ok || bad "USB page '$u' and network page '$n' differ"

# scanimage without a device name opens the first one listed: the USB scanner.
f=$OUT/first-device.pnm
usb -- scanimage --mode Gray --resolution 75 --"Page Size" "4x6 in" --format=pnm -o "$f" 2>"$f.err" &&
  check_image "$f" 75 101.6 152.4 0 0 || bad "scan from the first device: $(cat "$f.err")"
tail -1 "$OUT/usb.log" | grep -q " 1 pages" && ok || bad "the first device was not the USB one: $(tail -1 "$OUT/usb.log")"
[ ! -s "$OUT/usb-left-locked" ] && ok || bad "USB scanner left locked: $(cat "$OUT/usb-left-locked")"

finish
