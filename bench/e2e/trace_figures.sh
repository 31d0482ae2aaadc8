# The wire-trace figures of e2e_timings.sh (section "trace"): how long after
# sane_start a frontend has EOF with `trace DIRECTORY` in orvela.conf ("on")
# and without ("off"), for both deliveries (`scan streaming off` and `on`),
# beside the same delivery of the library built from TRACE_BEFORE_COMMIT
# (default 3cc492f, the tree before the trace existed: "before"), so that
# "off" can be seen to cost nothing. Pages: A4 colour 300 dpi (TRACE_CASES
# adds c600, g150, b300 of page_end_figures.sh), from a simulator that paces
# its bands like a scanner (16 KiB every 50 ms) and one that sends as fast as
# the socket takes. Every figure is the median of $TRACE_RUNS runs (default
# 5) from the paced simulator and $TRACE_FAST_RUNS (default 25) from the
# unpaced one, whose pages end within tens of milliseconds and vary by a third
# from run to run; the six paths are taken in turn. Each "on" run's trace is
# checked to hold the page (its size recorded) and removed.
#
# Sourced by e2e_timings.sh inside the lab; needs TIMING_BIN, ORVELA_LIBDIR.
# Records go to $OUT/trace.records (copied to $RECORDS_OUT when set);
# trace_table.py prints the table.

TR_REC=$OUT/trace.records
: > "$TR_REC"
PE_TOP=${ORVELA_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
PAGE_END_CACHE=${PAGE_END_CACHE:-$ORVELA_LIBDIR/../page-end-before}
TRACE_BEFORE_COMMIT=${TRACE_BEFORE_COMMIT:-3cc492f}
declare -A TR_RUNS=([paced]=${TRACE_RUNS:-5} [fast]=${TRACE_FAST_RUNS:-25})
. "$(dirname "${BASH_SOURCE[0]}")/before_library.sh"

tr_record() { echo "$*" >> "$TR_REC"; }

echo "Wire trace: page end with the trace off and on, both deliveries (${TR_RUNS[paced]} / ${TR_RUNS[fast]} runs of each, paths in turn)"
echo "  load at start: $(uptime)"
echo "  building the library of $TRACE_BEFORE_COMMIT (once; under $PAGE_END_CACHE)"
TR_BEFORE=$(before_libdir "$TRACE_BEFORE_COMMIT") || { echo "  cannot build the library of $TRACE_BEFORE_COMMIT"; return 1; }
TR_DIR=$OUT/traces
mkdir -p "$TR_DIR"
# config DELIVERY [trace]: a private SANE configuration for the path.
tr_config() {
  local cfg=$LAB_RUN/trace-$1${2:+-$2}
  mkdir -p "$cfg"
  echo orvela > "$cfg/dll.conf"
  { echo "scan streaming $([ "$1" = stream ] && echo on || echo off)"; [ -n "${2:-}" ] && echo "trace $TR_DIR"; } \
    > "$cfg/orvela.conf"
  echo "$cfg"
}
declare -A TR_LIB TR_CFG
for d in whole stream; do
  TR_LIB[$d-before]=$TR_BEFORE TR_CFG[$d-before]=$(tr_config $d)
  TR_LIB[$d-off]=$ORVELA_LIBDIR TR_CFG[$d-off]=$(tr_config $d)
  TR_LIB[$d-on]=$ORVELA_LIBDIR TR_CFG[$d-on]=$(tr_config $d trace)
done
TR_PATHS="whole-before whole-off whole-on stream-before stream-off stream-on"
A4="A4 (210 x 297 mm)"
declare -A TR_SETTINGS=([c300]="mode=Color|resolution=300" [c600]="mode=Color|resolution=600"
                        [g150]="mode=Gray|resolution=150" [b300]="mode=Black & White|resolution=300")

lab_bridge brt 10.231.12.10/24
declare -A TR_SIM=([paced]=10.231.12.22 [fast]=10.231.12.21)
lab_sim_device tfast brt ${TR_SIM[fast]}/24
lab_sim_device tpaced brt ${TR_SIM[paced]}/24 --band-size 16384 --band-delay 50

# trace_scan PATH SIM CASE: one sane_timing scan; its key=value line, with
# failed=REASON when it did not deliver the whole frame, and for an "on" path
# trace_bytes=SIZE of the trace it left (0: none).
trace_scan() {
  local path=$1 sim=$2 case=$3 line settings size
  IFS='|' read -ra settings <<<"${TR_SETTINGS[$case]}"
  rm -f "$TR_DIR"/*
  line=$(SANE_CONFIG_DIR="${TR_CFG[$path]}" LD_LIBRARY_PATH="${TR_LIB[$path]}" "$TIMING_BIN" \
    "orvela:socket://${TR_SIM[$sim]}" "${settings[@]}" "Page Size=$A4" 2>"$OUT/trace.err") ||
    line="$line failed=$(grep -v '^ *[0-9]*:' "$OUT/trace.err" | tail -1 | tr -c '[:alnum:]_.:\n' _)"
  if [ "${path#*-}" = on ]; then
    size=$(cat "$TR_DIR"/*.trace 2>/dev/null | wc -c)
    line="$line trace_bytes=$size"
  fi
  echo $line
}

tr_record "kind=commits before=$(git -C "$PE_TOP" rev-parse --short "$TRACE_BEFORE_COMMIT")" \
  "after=$(git -C "$PE_TOP" describe --always --dirty)"
for case in ${TRACE_CASES:-c300}; do
  for sim in paced fast; do
    trace_scan stream-off $sim $case >/dev/null  # the simulator renders the page once; later scans find it ready
    tr_record "kind=load case=$case sim=$sim $(awk '{print "load1=" $1 " load5=" $2 " load15=" $3}' /proc/loadavg)"
    for run in $(seq 1 "${TR_RUNS[$sim]}"); do
      for path in $TR_PATHS; do
        tr_record "kind=scan case=$case sim=$sim path=$path run=$run $(trace_scan $path $sim $case)"
      done
    done
  done
done
rm -rf "$TR_DIR"
echo "  load at end:   $(uptime)"
echo
python3 "$(dirname "${BASH_SOURCE[0]}")/trace_table.py" "$TR_REC" "${TR_RUNS[paced]} (paced) / ${TR_RUNS[fast]} (fast)"
if [ -n "${RECORDS_OUT:-}" ] && [ "$SECTION" = trace ]; then
  cp "$TR_REC" "$RECORDS_OUT"
  echo "(every run's figures: $RECORDS_OUT)"
fi
