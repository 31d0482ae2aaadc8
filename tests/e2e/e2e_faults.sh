#!/bin/bash
# Fault campaigns through scanimage and a long-running host against simulated
# network scanners and an emulated USB scanner. Every case must end with a
# clear SANE status from the frontend, the frontend alive (no death by a
# signal), the scanner unlocked afterwards (the simulator's command log, the
# USB server's report) and nothing left under /tmp but the page file:
#   - /tmp fills up while the page is written (a small tmpfs over /tmp);
#   - statfs and sysinfo report too little free disk or memory (a preload);
#   - an address-space limit (RLIMIT_AS) that makes the page allocation fail;
#   - the scanner resets the connection in the middle of the page;
#   - SIGINT to scanimage while an emulated USB page streams in, while
#     scanimage is still reading a finished page, and while a page streams in
#     on the streaming path;
#   - one hundred jobs in one process: open descriptors and resident memory
#     must not grow;
#   - two frontends scanning two scanners at the same time.
# The script runs in a private mount namespace with a tmpfs of its own over
# /tmp, so what the backend leaves there can be listed.
set -eu
if [ -z "${ORVELA_FAULTS_PRIVATE_MOUNTS:-}" ]; then
  # The private mounts need a mount point outside /tmp for the real /tmp (a
  # checkout or build may live there); it is removed again afterwards.
  ORVELA_FAULTS_PRIVATE_MOUNTS=$(mktemp -d /run/orvela-faults.XXXXXX) || exit 1
  export ORVELA_FAULTS_PRIVATE_MOUNTS
  rc=0
  unshare -m --propagation private "$0" "$@" || rc=$?
  rmdir "$ORVELA_FAULTS_PRIVATE_MOUNTS"
  exit $rc
fi
HERE=$(cd "$(dirname "$0")" && pwd)
OLD_TMP=$ORVELA_FAULTS_PRIVATE_MOUNTS
mount --bind /tmp "$OLD_TMP" || { echo "cannot keep the real /tmp reachable"; exit 1; }
mount -t tmpfs -o size=512m,mode=1777 tmpfs /tmp || { echo "cannot mount a private /tmp"; exit 1; }
# Paths under the real /tmp are reached through its bind mount from now on.
beside_tmp() { case "$1" in /tmp/*) echo "$OLD_TMP/${1#/tmp/}" ;; *) echo "$1" ;; esac; }
HERE=$(beside_tmp "$HERE")
LAB_BIN=$(beside_tmp "$LAB_BIN")
ORVELA_LIBDIR=$(beside_tmp "$ORVELA_LIBDIR")
# The lab's own files stay visible while other file systems are mounted over
# /tmp: they live beside the library's build.
export TMPDIR
TMPDIR=$(cd "$ORVELA_LIBDIR/.." && pwd)
cd "$TMPDIR" || exit 1  # the working directory may have been under /tmp
. "$HERE/checks_lib.sh"
e2e_lab
lab_bridge br1 10.231.7.10/24
lab_device plain br1 10.231.7.21/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0701 \
  --log "$LAB_RUN/plain.cmds"
lab_device slow br1 10.231.7.22/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0702 \
  --band-size 8192 --band-delay 40 --log "$LAB_RUN/slow.cmds"
lab_device slow2 br1 10.231.7.23/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0703 \
  --band-size 8192 --band-delay 40 --log "$LAB_RUN/slow2.cmds"
lab_device reset br1 10.231.7.24/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0704 \
  --drop-after-bytes 100000 --drop-page 1 --reset-on-drop --log "$LAB_RUN/reset.cmds"

PLAIN=orvela:socket://10.231.7.21
SLOW=orvela:socket://10.231.7.22
SLOW2=orvela:socket://10.231.7.23
RESET=orvela:socket://10.231.7.24
USB=orvela:usb://5E5A:1001:SN0001
PAGE_FILE=/tmp/tmpscan.jpg

# alive NAME RC: the frontend ended by itself, not by a signal or a time-out.
alive() {
  [ "$2" -lt 124 ] && ok || bad "$1: the frontend died or hung (status $2)"
}

# says NAME FILE TEXT: the frontend's messages name the expected SANE status.
says() {
  grep -qF "$3" "$2" && ok || bad "$1: expected \"$3\", got: $(tr '\n' ' ' <"$2" | head -c 400)"
}

# commands LOG: the commands a simulated scanner received, one letter each,
# once its log has caught up (it is written at most 0.1 s late).
commands() {
  sleep 0.25
  grep -o 'cmd=[a-z]' "$1" 2>/dev/null | cut -c5 | tr -d '\n'
}

# unlocked NAME LOG: every lock the scanner received was followed by an unlock.
unlocked() {
  local c
  c=$(commands "$2")
  c=${c//[^lu]/}
  [ -z "$c" ] || [ "${c: -1}" = u ] && ok || bad "$1: the scanner was left locked (commands: $(commands "$2"))"
}

# usable NAME DEVICE: a page scans normally right after the fault.
usable() {
  local f=$OUT/$1-after.pnm
  timeout 120 scanimage -d "$2" --mode Gray --resolution 75 --"Page Size" "4x6 in" --format=pnm -o "$f" 2>"$f.err" &&
    check_image "$f" 75 101.6 152.4 0 0 || bad "$1: the scanner does not scan after the fault: $(cat "$f.err")"
}

# tmp_clean NAME: /tmp holds nothing but (perhaps) the page file; the page
# file is then removed for the next case.
tmp_clean() {
  local extra
  extra=$(find /tmp -mindepth 1 ! -path "$PAGE_FILE" | head -5)
  [ -z "$extra" ] && ok || bad "$1: left under /tmp: $extra"
  rm -f "$PAGE_FILE"
}

# wait_for LOG LETTER: until the scanner's log shows the command.
wait_for() {
  for _ in $(seq 1 300); do
    grep -q "cmd=$2" "$1" 2>/dev/null && return 0
    sleep 0.02
  done
  return 1
}

# --- /tmp fills up while the page is being written --------------------------
# The free-space check before the scan passes (16 MiB free, an A4 grey page
# needs 12); once the scanner has received the scan parameters, a file fills
# /tmp, and the next write of the page file fails.
mount -t tmpfs -o size=16m,mode=1777 tmpfs /tmp
: >"$LAB_RUN/slow.cmds"
timeout 120 scanimage -d "$SLOW" --mode Gray --resolution 300 --"Page Size" "A4 (210 x 297 mm)" --format=pnm \
  -o "$OUT/full.pnm" 2>"$OUT/full.err" &
p=$!
if wait_for "$LAB_RUN/slow.cmds" i; then
  dd if=/dev/zero of=/tmp/filler bs=64k 2>/dev/null || true  # until /tmp is full
else
  bad "disk full: the scan never started"
fi
rc=0
wait $p || rc=$?
alive "disk full" $rc
[ $rc != 0 ] && ok || bad "disk full: the scan reported success"
says "disk full" "$OUT/full.err" "Error during device I/O"
unlocked "disk full" "$LAB_RUN/slow.cmds"
# The device was told to stop the page before it was unlocked.
c=$(commands "$LAB_RUN/slow.cmds")
[ "$c" = liau ] && ok || bad "disk full: commands $c, expected lock, parameters, abort, unlock"

rm -f /tmp/filler
tmp_clean "disk full"
umount /tmp

# --- statfs and sysinfo refuse the job -------------------------------------
# The preload makes /tmp look 1 MiB free, or the machine 8 MiB of free RAM
# and swap; an A4 colour page needs 24 MiB. The scanner is never contacted.
: >"$LAB_RUN/plain.cmds"
rc=0
LD_PRELOAD=$LAB_BIN/resource_shim.so ORVELA_SHIM_DISK_MB=1 timeout 60 scanimage -d "$PLAIN" --mode Color \
  --resolution 300 --"Page Size" "A4 (210 x 297 mm)" --format=pnm -o "$OUT/nodisk.pnm" 2>"$OUT/nodisk.err" || rc=$?
alive "no disk space" $rc
says "no disk space" "$OUT/nodisk.err" "Access to resource has been denied"
rc=0
LD_PRELOAD=$LAB_BIN/resource_shim.so ORVELA_SHIM_RAM_MB=8 timeout 60 scanimage -d "$PLAIN" --mode Color \
  --resolution 300 --"Page Size" "A4 (210 x 297 mm)" --format=pnm -o "$OUT/nomem.pnm" 2>"$OUT/nomem.err" || rc=$?
alive "no free memory" $rc
says "no free memory" "$OUT/nomem.err" "Out of memory"
[ -z "$(commands "$LAB_RUN/plain.cmds")" ] && ok ||
  bad "refused jobs: the scanner was contacted: $(commands "$LAB_RUN/plain.cmds")"
tmp_clean "refused jobs"
# The same preload with room to spare changes nothing.
LD_PRELOAD=$LAB_BIN/resource_shim.so ORVELA_SHIM_DISK_MB=100 ORVELA_SHIM_RAM_MB=100 timeout 60 scanimage -d "$PLAIN" \
  --mode Gray --resolution 100 --"Page Size" "4x6 in" --format=pnm -o "$OUT/room.pnm" 2>"$OUT/room.err" &&
  check_image "$OUT/room.pnm" 100 101.6 152.4 0 0 || bad "enough resources through the preload: $(cat "$OUT/room.err")"

# --- an address-space limit makes the page allocation fail ------------------
# A4 colour at 600 dpi decodes to about 102 MiB; the process may map 96 MiB.
: >"$LAB_RUN/plain.cmds"
rc=0
timeout 120 prlimit --as=$((96 << 20)) scanimage -d "$PLAIN" --mode Color --resolution 600 \
  --"Page Size" "A4 (210 x 297 mm)" --format=pnm -o "$OUT/rlimit.pnm" 2>"$OUT/rlimit.err" || rc=$?
alive "address-space limit" $rc
says "address-space limit" "$OUT/rlimit.err" "Out of memory"
unlocked "address-space limit" "$LAB_RUN/plain.cmds"
tmp_clean "address-space limit"

# --- the scanner resets the connection in the middle of the page -----------
t0=$(date +%s)
rc=0
timeout 120 scanimage -d "$RESET" --mode Color --resolution 300 --"Page Size" "A4 (210 x 297 mm)" --format=pnm \
  -o "$OUT/reset.pnm" 2>"$OUT/reset.err" || rc=$?
t1=$(date +%s)
alive "connection reset" $rc
says "connection reset" "$OUT/reset.err" "Error during device I/O"
[ $((t1 - t0)) -le 10 ] && ok || bad "connection reset: reported after $((t1 - t0)) s"
tmp_clean "connection reset"
# The scanner that dropped the connection scans the next page (its drop was
# for the first page only) and is unlocked after it.
: >"$LAB_RUN/reset.cmds"
usable reset "$RESET"
unlocked "after the reset" "$LAB_RUN/reset.cmds"
tmp_clean "after the reset"

# --- SIGINT while a USB page streams in -------------------------------------
# (timeout --foreground: a plain timeout would pass the signal to its whole
# process group, and scanimage gives up at once on a second one.)
SERVER=$LAB_BIN/usb_scanner_server
if [ -x "$SERVER" ]; then
  : >"$OUT/usb-int.log"
  timeout --foreground 120 "$SERVER" --stats-file "$OUT/usb-int.log" --band-size 4096 --band-delay 40 -- \
    scanimage -d "$USB" --mode Color --resolution 300 --"Page Size" "A4 (210 x 297 mm)" --format=pnm \
    -o "$OUT/usb-int.pnm" 2>"$OUT/usb-int.err" &
  p=$!
  # The page (about 1.5 MB in 4 KiB bands, 40 ms apart) takes some 15 s; the
  # server says nothing while it runs, so the signal comes after a while.
  sleep 4
  kill -INT $p
  rc=0
  wait $p || rc=$?
  alive "SIGINT during a USB page" $rc
  [ $rc != 0 ] && ok || bad "SIGINT during a USB page: the scan reported success"
  says "SIGINT during a USB page" "$OUT/usb-int.err" "Operation was canceled"
  s=$(tail -1 "$OUT/usb-int.log")
  # The page had started and was cut short, and the scanner was released.
  case $s in *" 1 pages, "[1-9]*" bytes of page data, locked=0") ok ;; *) bad "SIGINT during a USB page: $s" ;; esac
  b=$(echo "$s" | sed -n 's/.* \([0-9]*\) bytes of page data.*/\1/p')
  [ "${b:-0}" -lt 1000000 ] && ok || bad "SIGINT during a USB page: the whole page came ($b bytes)"
  tmp_clean "SIGINT during a USB page"
else
  bad "usb_scanner_server is not built (umockdev or the simulator missing)"
fi

# --- SIGINT while scanimage is still reading a finished page ---------------
# The page is done (the scanner was unlocked at the end of the start), and
# scanimage is held writing into a pipe that nobody reads yet.
: >"$LAB_RUN/plain.cmds"
timeout --foreground 120 scanimage -d "$PLAIN" --mode Color --resolution 300 --"Page Size" "A4 (210 x 297 mm)" \
  --format=pnm 2>"$OUT/read-int.err" > >(sleep 2; cat >/dev/null) &
p=$!
wait_for "$LAB_RUN/plain.cmds" u || bad "SIGINT while reading: the page never ended"
sleep 0.5
kill -INT $p
rc=0
wait $p || rc=$?
alive "SIGINT while reading" $rc
[ $rc != 0 ] && ok || bad "SIGINT while reading: the scan reported success"
says "SIGINT while reading" "$OUT/read-int.err" "Operation was canceled"
[ "$(commands "$LAB_RUN/plain.cmds")" = liu ] && ok ||
  bad "SIGINT while reading: commands $(commands "$LAB_RUN/plain.cmds")"
tmp_clean "SIGINT while reading"

# --- SIGINT while a streaming page streams in ------------------------------
# With the streaming path (orvela.conf) scanimage waits in sane_read while the
# slow scanner sends its bands; the cancel of its SIGINT handler ends that
# read at once, the page is aborted and drained, the scanner unlocked, and no
# page file is ever written.
: >"$LAB_RUN/slow.cmds"
SANE_CONFIG_DIR=$(lab_sane_config streaming) timeout --foreground 120 scanimage -d "$SLOW" --mode Color \
  --resolution 300 --"Page Size" "A4 (210 x 297 mm)" --format=pnm -o "$OUT/stream-int.pnm" 2>"$OUT/stream-int.err" &
p=$!
sleep 2  # some 50 of the page's bands of 8 KiB, 40 ms apart, are in
t0=$(date +%s%N)
kill -INT $p
rc=0
wait $p || rc=$?
ms=$((($(date +%s%N) - t0) / 1000000))
alive "SIGINT during a streaming page" $rc
[ $rc != 0 ] && ok || bad "SIGINT during a streaming page: the scan reported success"
says "SIGINT during a streaming page" "$OUT/stream-int.err" "Operation was canceled"
echo "SIGINT during a streaming page: scanimage ended $ms ms after the signal"
[ $ms -lt 1000 ] && ok || bad "SIGINT during a streaming page: scanimage ended $ms ms after the signal"
[ "$(commands "$LAB_RUN/slow.cmds")" = liau ] && ok ||
  bad "SIGINT during a streaming page: commands $(commands "$LAB_RUN/slow.cmds")"
[ -e "$PAGE_FILE" ] && bad "SIGINT during a streaming page: a page file was written" || ok
tmp_clean "SIGINT during a streaming page"
usable "streaming SIGINT" "$SLOW"

# --- one hundred jobs in one process ----------------------------------------
: >"$LAB_RUN/plain.cmds"
rc=0
timeout 120 "$LAB_BIN/job_repeat" "$ORVELA_LIBDIR/libsane-orvela.so.1" "${PLAIN#orvela:}" 100 mode=Gray resolution=75 "Page Size=4x6 in" \
  >"$OUT/jobs.out" 2>"$OUT/jobs.err" || rc=$?
[ $rc = 0 ] && ok || bad "100 jobs: status $rc: $(grep -v 'status=0 ' "$OUT/jobs.out" | head -3) $(cat "$OUT/jobs.err")"
python3 - "$OUT/jobs.out" <<'PY' && ok || bad "100 jobs: descriptors or memory grew"
import re, sys
jobs = [tuple(map(int, m.groups())) for m in
        re.finditer(r"job (\d+) status=\d+ bytes=\d+ fds=(\d+) rss_kb=(\d+)", open(sys.argv[1]).read())]
if len(jobs) != 100:
    sys.exit("only %d jobs" % len(jobs))
fds = {n: f for n, f, _ in jobs}
rss = {n: r for n, _, r in jobs}
print("100 jobs: fds after job 1/10/100: %d/%d/%d, VmRSS kB after job 10/50/100: %d/%d/%d"
      % (fds[1], fds[10], fds[100], rss[10], rss[50], rss[100]))
if fds[100] != fds[10]:
    sys.exit("descriptors grew")
# Allocator noise stays well under a MiB; a page's worth (about 2 MiB per job
# here) would not.
if rss[100] - rss[10] > 2048:
    sys.exit("resident memory grew")
PY
c=$(commands "$LAB_RUN/plain.cmds")
l=${c//[^l]/} u=${c//[^u]/}
[ ${#l} = 100 ] && [ ${#u} = 100 ] && ok || bad "100 jobs: ${#l} locks and ${#u} unlocks"
tmp_clean "100 jobs"

# --- two frontends scanning two scanners at the same time -------------------
: >"$LAB_RUN/slow.cmds"
: >"$LAB_RUN/slow2.cmds"
timeout 120 scanimage -d "$SLOW" --mode Color --resolution 150 --"Page Size" "A5 (148 x 210 mm)" --format=pnm \
  -o "$OUT/two-a.pnm" 2>"$OUT/two-a.err" &
a=$!
timeout 120 scanimage -d "$SLOW2" --mode Gray --resolution 200 --"Page Size" "4x6 in" --format=pnm \
  -o "$OUT/two-b.pnm" 2>"$OUT/two-b.err" &
b=$!
ra=0
wait $a || ra=$?
rb=0
wait $b || rb=$?
[ $ra = 0 ] && check_image "$OUT/two-a.pnm" 150 148 210 0 0 || bad "two scans, first: status $ra: $(cat "$OUT/two-a.err")"
[ $rb = 0 ] && check_image "$OUT/two-b.pnm" 200 101.6 152.4 0 0 || bad "two scans, second: status $rb: $(cat "$OUT/two-b.err")"
unlocked "two scans, first" "$LAB_RUN/slow.cmds"
unlocked "two scans, second" "$LAB_RUN/slow2.cmds"
tmp_clean "two scans"

finish
