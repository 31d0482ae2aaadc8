#!/bin/bash
# scanimage under valgrind's memcheck against simulated scanners in the lab:
# no invalid access, no use of uninitialised values and no definitely lost
# block, through the backend's main paths: a device search, a colour page
# that is resampled, a black-and-white page, a feeder run to its end, a page
# whose connection drops, a page cancelled by Ctrl-C, and a page over
# emulated USB; and saned serving a page.
set -eu
. "$(dirname "$0")/checks_lib.sh"
e2e_lab
lab_bridge br1 10.231.1.10/24
lab_device flat br1 10.231.1.21/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0001
lab_device feeder br1 10.231.1.22/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;" OR-0002 \
  --sheets 2 --right-rear
lab_device dropper br1 10.231.1.23/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0003 \
  --drop-after-bytes 100000
lab_device slow br1 10.231.1.24/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0004 \
  --band-size 8192 --band-delay 100 --log "$LAB_RUN/slow.cmds"

command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 1; }
SUPP=$(cd "$(dirname "$0")" && pwd)/e2e_valgrind.supp
VG=(valgrind --tool=memcheck --error-exitcode=99 --errors-for-leak-kinds=definite --leak-check=full
    --num-callers=40 --track-origins=yes)
[ -f "$SUPP" ] && VG+=(--suppressions="$SUPP")

# vg NAME EXPECTED_RC COMMAND...: runs COMMAND under memcheck, its log in
# $OUT/NAME.vg; the exit status must be EXPECTED_RC ("any": whatever the
# frontend says, but never memcheck's 99) and the log clean.
# memcheck_clean NAME RC LOG: memcheck reported no error for the run.
memcheck_clean() {
  if [ "$2" = 99 ] || ! grep -q "ERROR SUMMARY: 0 errors" "$3" 2>/dev/null; then
    bad "$1: memcheck found errors or did not finish (rc=$2):"
    grep -A25 -m3 "Invalid\|uninitialised\|definitely lost in" "$3" 2>/dev/null | head -80 || true
    return 1
  fi
}

vg() {
  local name=$1 want=$2 rc=0 log=$OUT/$1.vg
  shift 2
  timeout 600 "${VG[@]}" --log-file="$log" "$@" >"$OUT/$name.out" 2>"$OUT/$name.err" || rc=$?
  if ! memcheck_clean "$name" $rc "$log"; then
    :
  elif [ "$want" != any ] && [ $rc != "$want" ]; then
    bad "$name: exit status $rc, expected $want: $(tail -3 "$OUT/$name.err")"
  elif ! grep -q "definitely lost: 0 bytes" "$log" && ! grep -q "All heap blocks were freed" "$log"; then
    bad "$name: leak summary: $(grep -A5 'LEAK SUMMARY' "$log")"
  else
    ok
  fi
}

DEV=orvela:socket://10.231.1.21
FEED=orvela:socket://10.231.1.22

vg list 0 scanimage -L
grep -qF "device \`$DEV'" "$OUT/list.out" && ok || bad "listing under memcheck: $(cat "$OUT/list.out")"

# 250 dpi is not a resolution of the device: the page is resampled.
vg colour 0 scanimage -d "$DEV" --mode Color --resolution 250 --"Page Size" "4x6 in" --format=pnm -o "$OUT/colour.pnm"
r=$("$LAB_BIN/image_check" "$OUT/colour.pnm" 250) || true
case $r in size=99[0-9]x149[0-9]*position=0.*) ok ;; *) bad "colour page under memcheck: $r" ;; esac

vg bw 0 scanimage -d "$DEV" --mode "Black & White" --resolution 150 --"Page Size" "A5 (148 x 210 mm)" \
  --format=pnm -o "$OUT/bw.pnm"
case $(head -c 2 "$OUT/bw.pnm") in P4) ok ;; *) bad "black-and-white page under memcheck" ;; esac

# (Not in a subshell: the tally would not see its result.)
vg feeder 0 scanimage -d "$FEED" --source "Automatic Document Feeder" --mode Gray --resolution 100 \
  --format=pnm --batch="$OUT/adf%d.pnm"
[ "$(ls "$OUT"/adf*.pnm 2>/dev/null | wc -l)" = 2 ] && ok || bad "feeder under memcheck: $(cat "$OUT/feeder.err")"

# The connection drops in the middle of the page: scanimage reports an I/O
# error; nothing the backend allocated for the page may be lost.
vg dropped any scanimage -d orvela:socket://10.231.1.23 --mode Color --resolution 300 --format=pnm -o "$OUT/drop.pnm"
grep -qi "error" "$OUT/dropped.err" && ok || bad "dropped connection not reported: $(cat "$OUT/dropped.err")"

# Ctrl-C while a slow page streams in (sane_start receives the whole page):
# scanimage's handler calls sane_cancel from the signal.
timeout --foreground 600 "${VG[@]}" --log-file="$OUT/cancel.vg" scanimage -d orvela:socket://10.231.1.24 --mode Gray \
  --resolution 300 --format=pnm -o "$OUT/cancel.pnm" >"$OUT/cancel.out" 2>"$OUT/cancel.err" &
p=$!
for _ in $(seq 1 300); do
  grep -q "cmd=i" "$LAB_RUN/slow.cmds" 2>/dev/null && break
  sleep 0.1
done
sleep 1.5
kill -INT $p
rc=0
wait $p || rc=$?
memcheck_clean cancel $rc "$OUT/cancel.vg" && ok
# The page was stopped, not received whole.
[ $rc != 0 ] && grep -q "Operation was canceled" "$OUT/cancel.err" && ok ||
  bad "cancelled page: rc=$rc $(cat "$OUT/cancel.err")"
# The device was told to stop, then released. The simulator appends what it
# received to its log on a short tick, so the last commands may reach the log
# after scanimage has ended: the check waits for them a while.
last_two() { grep -o 'cmd=[a-z]' "$LAB_RUN/slow.cmds" | tail -2 | tr '\n' ' '; }
for _ in $(seq 1 50); do
  [ "$(last_two)" = "cmd=a cmd=u " ] && break
  sleep 0.1
done
[ "$(last_two)" = "cmd=a cmd=u " ] && ok ||
  bad "commands of the cancelled page: $(cat "$LAB_RUN/slow.cmds")"

# saned under memcheck, serving a page to the net backend: its reads come in
# pieces of its ring buffer, down to a few bytes.
lab_saned_config
lab_saned "$OUT/saned-activate.err" "${VG[@]}" --log-file="$OUT/saned-%p.log"
rc=0
SANE_CONFIG_DIR=$CLI LD_LIBRARY_PATH= timeout 300 scanimage -d "net:127.0.0.1:$DEV" --mode Color --resolution 150 \
  --"Page Size" "4x6 in" --format=pnm -o "$OUT/saned.pnm" 2>"$OUT/saned-client.err" || rc=$?
# saned ends when its client has gone; memcheck writes its summary then.
for _ in $(seq 1 100); do grep -qs "ERROR SUMMARY" "$OUT"/saned-*.log && break; sleep 0.1; done
kill "$LAB_SANED_PID" 2>/dev/null || true
wait "$LAB_SANED_PID" 2>/dev/null || true
cat "$OUT"/saned-*.log >"$OUT/saned.vg" 2>/dev/null || true
[ "$(grep -c "ERROR SUMMARY" "$OUT/saned.vg")" = 1 ] && ok || bad "one saned expected: $(grep "Command:" "$OUT/saned.vg")"
if ! memcheck_clean saned 0 "$OUT/saned.vg"; then
  :
elif [ $rc != 0 ]; then
  bad "page through saned under memcheck: rc=$rc $(cat "$OUT/saned-client.err")"
else
  ok
fi

# Over emulated USB (the preload and memcheck in the same frontend).
if [ -x "$LAB_BIN/usb_scanner_server" ]; then
  rc=0
  "$LAB_BIN/usb_scanner_server" -- "${VG[@]}" --log-file="$OUT/usb.vg" scanimage -d orvela:usb://5E5A:1001:SN0001 \
    --mode Color --resolution 150 --"Page Size" "4x6 in" --format=pnm -o "$OUT/usb.pnm" >/dev/null 2>"$OUT/usb.err" ||
    rc=$?
  if ! memcheck_clean "USB page" $rc "$OUT/usb.vg"; then
    :
  elif [ $rc != 0 ]; then
    bad "USB page under memcheck: rc=$rc $(tail -3 "$OUT/usb.err")"
  else
    ok
  fi
fi

for log in "$OUT"/*.vg; do
  printf '%-10s %s\n' "$(basename "$log" .vg)" "$(grep -o 'definitely lost: .*' "$log" | head -1 || true)"
done
finish
