# The page-end figures of e2e_timings.sh (section "page-end"): how long after
# sane_start a frontend has EOF, for the whole-page delivery of an earlier
# commit's library ("whole before"), the whole-page delivery of this tree's
# library ("whole after") and this tree's streaming, on the same pages: A4
# colour 300 and 600 dpi, A4 grey 150 dpi (not a device resolution: rescaled)
# and A4 black and white 300 dpi, each from a simulator that paces its bands
# like a scanner (16 KiB every 50 ms) and from one that sends as fast as the
# socket takes. Every figure is the median of $RUNS runs, the three paths
# taken in turn; the load average is recorded beside each page's runs.
#
# The earlier library is built here from `git archive` of BEFORE_COMMIT
# (default 358fc72, the tree before the whole-page delivery decoded while the
# page was pulled) with -DBUILD_TESTING=OFF, target sane-orvela only, under
# $PAGE_END_CACHE/<commit id> (default beside ORVELA_LIBDIR), where a second
# run finds it; libsane loads it through LD_LIBRARY_PATH.
#
# PAGE_END_CASES and PAGE_END_SIMS pick pages and simulators (default all).
# Sourced by e2e_timings.sh inside the lab; needs TIMING_BIN, ORVELA_LIBDIR.
# Records go to $OUT/page_end.records (copied to $RECORDS_OUT when set);
# page_end_table.py prints the table.

PE_REC=$OUT/page_end.records
: > "$PE_REC"
PE_TOP=${ORVELA_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
BEFORE_COMMIT=${BEFORE_COMMIT:-358fc72}
PAGE_END_CACHE=${PAGE_END_CACHE:-$ORVELA_LIBDIR/../page-end-before}

pe_record() { echo "$*" >> "$PE_REC"; }

. "$(dirname "${BASH_SOURCE[0]}")/before_library.sh"

echo "Page end: whole page before and after, and streaming ($RUNS runs of each, paths in turn)"
echo "  load at start: $(uptime)"
echo "  building the library of $BEFORE_COMMIT (once; under $PAGE_END_CACHE)"
BEFORE_LIBDIR=$(before_libdir "$BEFORE_COMMIT") || { echo "  cannot build the library of $BEFORE_COMMIT"; return 1; }
declare -A PE_LIB=([before]=$BEFORE_LIBDIR [after]=$ORVELA_LIBDIR [stream]=$ORVELA_LIBDIR)
declare -A PE_CFG=([before]=$(lab_sane_config whole) [after]=$(lab_sane_config whole) [stream]=$(lab_sane_config streaming))
A4="A4 (210 x 297 mm)"
declare -A PE_SETTINGS=([c300]="mode=Color|resolution=300" [c600]="mode=Color|resolution=600"
                        [g150]="mode=Gray|resolution=150" [b300]="mode=Black & White|resolution=300")

lab_bridge bre 10.231.11.10/24
declare -A PE_SIM=([paced]=10.231.11.22 [fast]=10.231.11.21)
lab_sim_device fast bre ${PE_SIM[fast]}/24
lab_sim_device paced bre ${PE_SIM[paced]}/24 --band-size 16384 --band-delay 50

# page_end PATH SIM CASE [ENV...]: one sane_timing scan; its key=value line,
# with failed=REASON when it did not deliver the whole frame.
page_end() {
  local path=$1 sim=$2 case=$3 line settings
  shift 3
  IFS='|' read -ra settings <<<"${PE_SETTINGS[$case]}"
  line=$(env "$@" SANE_CONFIG_DIR="${PE_CFG[$path]}" LD_LIBRARY_PATH="${PE_LIB[$path]}" "$TIMING_BIN" \
    "orvela:socket://${PE_SIM[$sim]}" "${settings[@]}" "Page Size=$A4" 2>"$OUT/page_end.err") ||
    line="$line failed=$(grep -v '^ *[0-9]*:' "$OUT/page_end.err" | tail -1 | tr -c '[:alnum:]_.:\n' _)"
  echo $line
}

# Which library each path loaded, from the dynamic loader's own account.
for path in before after stream; do
  page_end $path fast g150 LD_DEBUG=files >/dev/null
  loaded=$(sed -n 's/.*file=\([^ ]*libsane-orvela\.so\.1\) .*dynamically loaded.*/\1/p' "$OUT/page_end.err" | head -1)
  echo "  $path loads $(realpath -q "$loaded" || echo "?")"
  pe_record "kind=library path=$path file=$(realpath -q "$loaded")"
done
pe_record "kind=commits before=$(git -C "$PE_TOP" rev-parse --short "$BEFORE_COMMIT")" \
  "after=$(git -C "$PE_TOP" describe --always --dirty)"

for case in ${PAGE_END_CASES:-c300 c600 g150 b300}; do
  for sim in ${PAGE_END_SIMS:-paced fast}; do
    page_end stream $sim $case >/dev/null  # the simulator renders the page once; later scans find it ready
    pe_record "kind=load case=$case sim=$sim $(awk '{print "load1=" $1 " load5=" $2 " load15=" $3}' /proc/loadavg)"
    for run in $(seq 1 "$RUNS"); do
      for path in before after stream; do
        pe_record "kind=scan case=$case sim=$sim path=$path run=$run $(page_end $path $sim $case)"
      done
    done
  done
done
echo "  load at end:   $(uptime)"
echo
python3 "$(dirname "${BASH_SOURCE[0]}")/page_end_table.py" "$PE_REC" "$RUNS"
if [ -n "${RECORDS_OUT:-}" ] && [ "$SECTION" = page-end ]; then
  cp "$PE_REC" "$RECORDS_OUT"
  echo "(every run's figures: $RECORDS_OUT)"
fi
