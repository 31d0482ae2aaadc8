#!/bin/bash
# Times of whole operations as a frontend sees them, against simulated
# scanners in the lab (run under `unshare -n`; see CMakeLists.txt here):
#   - scanimage -L with no subnet, one subnet and two subnets
#   - opening a known "socket://" name in a process that never searched
#     (sane_open alone, and a small page with scanimage), and a name where no
#     scanner answers
#   - one A4 page at 300 dpi in colour over the network (and over emulated USB)
#   - Ctrl-C during a page, and a page whose stream stalls
# and, as the section "streaming" (streaming_figures.sh), whole pages with
# "scan streaming" off and on: first and last byte, memory, progress; and as
# the section "page-end" (page_end_figures.sh), sane_start to EOF of the
# whole-page delivery of an earlier commit and of this tree, and of streaming;
# and as the section "trace" (trace_figures.sh), page end with the wire trace
# off and on, both deliveries.
# Prints figures only; nothing here passes or fails on time.
#
#   e2e_timings.sh [general|streaming|page-end|trace|all]  (default general)
#   cmake --build build --target e2e-timings     the general section
#   cmake --build build --target bench-streaming the streaming section
#   cmake --build build --target bench-page-end  the page-end section
#   cmake --build build --target bench-trace     the trace section
# RUNS (default 3) sets the runs per figure.
#
# Needs: LAB_BIN, ORVELA_LIBDIR, TIMING_BIN (the sane_timing program); for
# the streaming section also FIRST_LINE_BIN, NET_PULL_BIN, PAGE_HOST_BIN.
# RECORDS_OUT takes a copy of the streaming, page-end or trace section's records.
set -u
SECTION=${1:-general}
case $SECTION in general|streaming|page-end|trace|all) ;; *) echo "usage: $0 [general|streaming|page-end|trace|all]" >&2; exit 2 ;; esac
# The scans run with a /tmp of their own (a directory beside the build, bound
# over /tmp in a private mount namespace): the page file /tmp/tmpscan.jpg is
# locked across processes, so scans of other runs on the machine would hold
# these up (and these them), and a log switch /tmp/orvela_sane left by
# someone would slow every scan down.
case "${RECORDS_OUT:-}" in /tmp/*) echo "RECORDS_OUT must lie outside /tmp, which the scans get a private one of" >&2; exit 2 ;; esac
if [ -z "${ORVELA_TIMINGS_TMP:-}" ]; then
  ORVELA_TIMINGS_TMP=$(mktemp -d "$ORVELA_LIBDIR/../timings-tmp.XXXXXX") || exit 1
  export ORVELA_TIMINGS_TMP
  unshare -m --propagation private "$0" "$@"
  rc=$?
  rm -rf "$ORVELA_TIMINGS_TMP"
  exit $rc
fi
case "$ORVELA_TIMINGS_TMP $ORVELA_LIBDIR $LAB_BIN $TIMING_BIN $(cd "$(dirname "$0")" && pwd)" in
  */tmp/*|/tmp/*) echo "(the build or checkout lives under /tmp: the scans share the machine's /tmp)" ;;
  *) mount --bind "$ORVELA_TIMINGS_TMP" /tmp && chmod 1777 /tmp || { echo "cannot mount a private /tmp" >&2; exit 1; } ;;
esac
. "$(dirname "$0")/../../tests/e2e/lab_lib.sh"
lab_init
export SANE_CONFIG_DIR=$(lab_sane_config) LD_LIBRARY_PATH=$ORVELA_LIBDIR
RUNS=${RUNS:-3}
OUT=$LAB_RUN/out
mkdir -p "$OUT"

if [ "$SECTION" = general ] || [ "$SECTION" = all ]; then

# timed LABEL COMMAND...: runs COMMAND $RUNS times, prints each wall time
# and the median in seconds.
timed() {
  local label=$1 t0 t1 times=()
  shift
  for _ in $(seq 1 "$RUNS"); do
    t0=$(date +%s.%N)
    "$@" >"$OUT/last.out" 2>"$OUT/last.err" || echo "  ($label: exit $?: $(tail -1 "$OUT/last.err"))"
    t1=$(date +%s.%N)
    times+=("$(echo "$t1 - $t0" | bc)")
  done
  python3 - "$label" "${times[@]}" <<'PY'
import statistics, sys
label, times = sys.argv[1], [float(t) for t in sys.argv[2:]]
print("%-58s median %7.3f s   (%s)" % (label, statistics.median(times), " ".join("%.3f" % t for t in times)))
PY
}

# breakdown LABEL COMMAND...: COMMAND (sane_timing, possibly wrapped) $RUNS
# times; the median of each figure it prints.
breakdown() {
  local label=$1 lines=()
  shift
  for _ in $(seq 1 "$RUNS"); do
    lines+=("$("$@" 2>"$OUT/timing.err" || echo "failed $(tail -1 "$OUT/timing.err")")")
  done
  python3 - "$label" "${lines[@]}" <<'PY'
import statistics, sys
label, lines = sys.argv[1], sys.argv[2:]
runs = [dict(kv.split("=") for kv in l.split()) for l in lines if not l.startswith("failed")]
for l in lines:
    if l.startswith("failed"):
        print("  %s: %s" % (label, l))
if runs:
    keys = ["open", "start", "first_data", "last_data", "eof", "close", "total"]
    med = {k: statistics.median(float(r[k]) for r in runs) for k in keys}
    print("%-58s " % label + "  ".join("%s %.1f" % (k, med[k]) for k in keys) + " ms"
          + "   (%sx%s, %s bytes, %d runs)" % (runs[0]["pixels"], runs[0]["lines"], runs[0]["bytes"], len(runs)))
PY
}

echo "End-to-end timings ($RUNS runs each; wall-clock times as the frontend sees them)"
echo

# --- device search ------------------------------------------------------------
timed "scanimage -L, no subnet (loopback only)" scanimage -L
lab_bridge br1 10.231.1.10/24
lab_device flat br1 10.231.1.21/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0001
lab_device colour br1 10.231.1.22/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;" OR-0002 --right-rear
timed "scanimage -L, one subnet, two scanners" scanimage -L
echo "  listed: $(grep -c '^device' "$OUT/last.out") device(s)"
lab_bridge br2 10.231.2.10/24
lab_device far br2 10.231.2.31/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0003
timed "scanimage -L, two subnets, three scanners" scanimage -L
echo "  listed: $(grep -c '^device' "$OUT/last.out") device(s)"
echo

# --- opening a name without a search --------------------------------------------
DEV=orvela:socket://10.231.1.21
breakdown "open by name + 4x6 in grey 75 dpi (sane_timing)" "$TIMING_BIN" "$DEV" mode=Gray resolution=75 "Page Size=4x6 in"
timed "scanimage -d socket://... 4x6 in grey 75 dpi" scanimage -d "$DEV" --mode Gray --resolution 75 \
  --"Page Size" "4x6 in" --format=pnm -o /dev/null
timed "scanimage -d socket://<address without a scanner>" scanimage -d orvela:socket://10.231.1.99 --mode Gray \
  --resolution 75 --format=pnm -o /dev/null
echo

# --- an A4 page at 300 dpi in colour ------------------------------------------------
A4="A4 (210 x 297 mm)"
timed "scanimage A4 300 dpi colour over the network (PNM)" scanimage -d "$DEV" --mode Color --resolution 300 \
  --"Page Size" "$A4" --format=pnm -o "$OUT/a4.pnm"
timed "scanimage A4 300 dpi colour over the network (PNG)" scanimage -d "$DEV" --mode Color --resolution 300 \
  --"Page Size" "$A4" --format=png -o "$OUT/a4.png"
breakdown "A4 300 dpi colour over the network (sane_timing)" "$TIMING_BIN" "$DEV" mode=Color resolution=300 "Page Size=$A4"
if [ -x "$LAB_BIN/usb_scanner_server" ]; then
  breakdown "A4 300 dpi colour over emulated USB (sane_timing)" "$LAB_BIN/usb_scanner_server" -- "$TIMING_BIN" \
    orvela:usb://5E5A:1001:SN0001 mode=Color resolution=300 "Page Size=$A4"
fi
echo

# --- Ctrl-C ------------------------------------------------------------------------
# interrupted LABEL DEVICE: scanimage on DEVICE, SIGINT 3 s into the page;
# the time from the signal until scanimage has gone.
interrupted() {
  local t1 t2 p rc
  scanimage -d "$2" --mode Gray --resolution 300 --format=pnm -o "$OUT/int.pnm" >/dev/null 2>"$OUT/int.err" &
  p=$!
  sleep 3
  t1=$(date +%s.%N)
  kill -INT $p
  wait $p
  rc=$?
  t2=$(date +%s.%N)
  printf '%-58s %7.3f s   (exit %d: %s)\n' "$1" "$(echo "$t2 - $t1" | bc)" $rc "$(tail -1 "$OUT/int.err")"
}
lab_device slow br1 10.231.1.23/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0004 \
  --band-size 8192 --band-delay 100
lab_device stalled br1 10.231.1.24/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0005 \
  --stall-after-bytes 50000
interrupted "Ctrl-C while a slow page streams in" orvela:socket://10.231.1.23
interrupted "Ctrl-C while the page stream has stalled" orvela:socket://10.231.1.24
t0=$(date +%s.%N)
scanimage -d orvela:socket://10.231.1.24 --mode Gray --resolution 300 --format=pnm -o "$OUT/int.pnm" 2>"$OUT/int.err"
rc=$?
printf '%-58s %7.3f s   (exit %d: %s)\n' "a page whose stream stalls, until the frontend hears" \
  "$(echo "$(date +%s.%N) - $t0" | bc)" $rc "$(tail -1 "$OUT/int.err")"
echo
fi

if [ "$SECTION" = streaming ] || [ "$SECTION" = all ]; then
  . "$(dirname "$0")/streaming_figures.sh"
fi
if [ "$SECTION" = page-end ] || [ "$SECTION" = all ]; then
  . "$(dirname "$0")/page_end_figures.sh"
fi
if [ "$SECTION" = trace ] || [ "$SECTION" = all ]; then
  . "$(dirname "$0")/trace_figures.sh"
fi
