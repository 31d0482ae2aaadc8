# The streaming figures of e2e_timings.sh (section "streaming"): whole pages
# as a frontend sees them with "scan streaming" off and on in orvela.conf,
# against a simulator that paces its bands (16 KiB every 50 ms) and one that
# sends as fast as the socket takes:
#   - time from sane_start to the first and the last frame byte and to EOF
#     (sane_timing), A4 colour 300 and 600 dpi and grey 1200 dpi; on the paced
#     simulator also how long after the band that completes the first line
#     (first_line_band, the simulator's --band-log) the frontend had it;
#   - the unpaced goal's references for the same pages: the plain transfer
#     (bench_net_pull's plain reader from the same simulator) and the decode
#     plus rescale alone (bench_page_host, as start does it);
#   - peak resident memory of scanimage (GNU time's %M), A4 colour 300, 600
#     and 1200 dpi, beside a baseline: the same scanimage scanning a 1 x 1 in
#     patch, which loads and runs everything a page does but holds no page;
#   - scanimage --progress on the paced A4 colour 300 dpi page: when the
#     progress figure first moves, as a share of the page time.
# Every figure is the median of $RUNS runs, the two paths taken in turn.
# Records go to $OUT/streaming.records (copied to $RECORDS_OUT when set);
# streaming_table.py prints the table.
#
# Sourced by e2e_timings.sh inside the lab; needs TIMING_BIN, FIRST_LINE_BIN,
# NET_PULL_BIN, PAGE_HOST_BIN.

STREAM_REC=$OUT/streaming.records
: > "$STREAM_REC"
A4="A4 (210 x 297 mm)"
BAND=16384

record() { echo "$*" >> "$STREAM_REC"; }
record_load() { record "kind=load section=$1 $(awk '{print "load1=" $1 " load5=" $2 " load15=" $3}' /proc/loadavg)"; }

# A private configuration per path: dll.conf lists only orvela, orvela.conf
# switches streaming.
path_config() {
  local dir=$LAB_RUN/sane-$1
  mkdir -p "$dir"
  echo orvela > "$dir/dll.conf"
  echo "scan streaming $1" > "$dir/orvela.conf"
  echo "$dir"
}
declare -A CFG=([off]=$(path_config off) [on]=$(path_config on))

lab_bridge brs 10.231.9.10/24
FAST=10.231.9.21
PACED=10.231.9.22
lab_sim_device fast brs $FAST/24 --log "$LAB_RUN/fast.cmds"
lab_sim_device paced brs $PACED/24 --band-size $BAND --band-delay 50 --band-log "$LAB_RUN/paced.bands"

case_mode() { case $1 in c*) echo Color ;; g*) echo Gray ;; esac; }
case_res() { echo "${1#?}"; }

# timing PATH ADDR CASE: one sane_timing scan; its key=value line on stdout,
# with failed=REASON when the scan did not deliver the whole frame.
timing() {
  local line
  line=$(SANE_CONFIG_DIR=${CFG[$1]} "$TIMING_BIN" "orvela:socket://$2" mode="$(case_mode "$3")" \
    resolution="$(case_res "$3")" "Page Size=$A4" 2>"$OUT/timing.err") ||
    line="$line failed=$(tail -1 "$OUT/timing.err" | tr -c '[:alnum:]_.:\n' _)"
  echo $line
}

# The band log's lines since line $1 that belong to the last page sent.
bands_since() {
  local lines
  lines=$(tail -n +"$(($1 + 1))" "$LAB_RUN/paced.bands")
  [ -n "$lines" ] || return 0
  local page=${lines##*page=}
  page=${page%% *}
  grep "^page=$page " <<<"$lines"
}
band_lines() { wc -l < "$LAB_RUN/paced.bands"; }

# Makes the paced simulator render CASE's page once, so that the timed runs
# find it in its cache (as they do on the fast one after its warm-up): a scan
# is started and ended as soon as the first band of its page has gone out.
warm_paced() {
  local before p
  before=$(band_lines)
  SANE_CONFIG_DIR=${CFG[off]} "$TIMING_BIN" "orvela:socket://$PACED" mode="$(case_mode "$1")" \
    resolution="$(case_res "$1")" "Page Size=$A4" >/dev/null 2>&1 &
  p=$!
  for _ in $(seq 1 600); do
    [ "$(band_lines)" -gt "$before" ] && break
    kill -0 $p 2>/dev/null || break
    sleep 0.1
  done
  kill $p 2>/dev/null
  wait $p 2>/dev/null
  sleep 0.2  # the simulator notices the closed connection
}

# The device request of the last page the fast simulator was asked for, as
# XRES,YRES,X,Y,WIDTH,HEIGHT,CHANNELS.
last_request() {
  sleep 0.1  # the command log follows within 20 ms
  grep 'cmd=i' "$LAB_RUN/fast.cmds" | tail -1 |
    sed -n 's/.* bpp=\([0-9]*\) res=\([0-9]*\)x\([0-9]*\) pos=\([0-9]*\),\([0-9]*\) size=\([0-9]*\)x\([0-9]*\).*/\2 \3 \4 \5 \6 \7 \1/p' |
    { read -r xr yr x y w h bpp && echo "$xr,$yr,$x,$y,$w,$h,$((bpp / 8))"; }
}

echo "Streaming figures: $RUNS runs of each, paths off/on in turn (about 4 minutes)"
echo "  load at start: $(uptime)"
record_load timing
declare -A REQUEST
for c in c300 c600 g1200; do
  # Warm both simulators, then find where the first line completes.
  timing off $FAST "$c" >/dev/null
  REQUEST[$c]=$(last_request)
  warm_paced "$c"
  first_line=$("$FIRST_LINE_BIN" "${REQUEST[$c]}" $BAND)
  record "kind=page case=$c request=${REQUEST[$c]} $first_line"
  need=${first_line#first_line_bytes=}
  need=${need%% *}
  band=${first_line#*band=}
  echo "  $c: device request ${REQUEST[$c]}, the first line completes with band ${band%% *}"
  for run in $(seq 1 "$RUNS"); do
    for path in off on; do
      record "kind=scan sim=fast path=$path case=$c run=$run $(timing $path $FAST "$c")"
      before=$(band_lines)
      line=$(timing $path $PACED "$c")
      sleep 0.1  # the band log follows within 20 ms
      bands=$(bands_since "$before")
      band0=$(head -1 <<<"$bands" | sed -n 's/.* at=//p')
      band_n=$(awk -v n="$need" '{split($2, b, "="); if (b[2] + 0 >= n) {sub(/.*at=/, ""); print; exit}}' <<<"$bands")
      record "kind=scan sim=paced path=$path case=$c run=$run $line band0_at=${band0:-0} first_line_band_at=${band_n:-0}"
    done
  done
  # The unpaced goal's references for this very page, right after its scans
  # so that both see much the same load on the machine.
  record_load "references case=$c"
  "$NET_PULL_BIN" "$RUNS" --device $FAST --page "${REQUEST[$c]}" 2>"$OUT/net_pull.err" |
    sed -n "s/^RESULT /kind=transfer case=$c /p" >> "$STREAM_REC"
  "$PAGE_HOST_BIN" --rounds "$RUNS" --page "${REQUEST[$c]},$(case_res "$c")" 2>"$OUT/page_host.err" |
    sed -n "s/^RESULT case=[^ ]* /kind=host case=$c /p" >> "$STREAM_REC"
done

# Peak resident memory of scanimage; "base" is the 1 x 1 in patch at 300 dpi.
record_load memory
if [ -x /usr/bin/time ]; then
  for res in base 300 600 1200; do
    geometry=(--resolution "$res" --"Page Size" "$A4")
    [ $res = base ] && geometry=(--resolution 300 -x 25.4 -y 25.4)
    for run in $(seq 1 "$RUNS"); do
      for path in off on; do
        if SANE_CONFIG_DIR=${CFG[$path]} /usr/bin/time -f %M -o "$OUT/rss" scanimage -d "orvela:socket://$FAST" \
             --mode Color "${geometry[@]}" --format=pnm >/dev/null 2>"$OUT/scanimage.err"; then
          record "kind=memory path=$path res=$res run=$run kb=$(tail -1 "$OUT/rss")"
        else
          record "kind=memory path=$path res=$res run=$run failed=1"
          echo "  scanimage at $res: $(tail -1 "$OUT/scanimage.err")"
        fi
      done
    done
  done
else
  echo "  no /usr/bin/time (package time): peak memory not measured"
fi

# scanimage --progress on the paced page: its stderr read through a pipe and
# every "Progress: X%" stamped on CLOCK_MONOTONIC as it arrives.
record_load progress
progress_run() {
  SANE_CONFIG_DIR=${CFG[$1]} python3 - scanimage -d "orvela:socket://$PACED" --mode Color --resolution 300 \
    --"Page Size" "$A4" --format=pnm --progress <<'PY'
import os, re, subprocess, sys, time
launch = time.monotonic()
child = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
pending, first_move, last_figure, figures = b"", 0.0, 0.0, 0
while True:
    chunk = os.read(child.stderr.fileno(), 4096)
    if not chunk:
        break
    now = time.monotonic()
    *lines, pending = re.split(rb"[\r\n]", pending + chunk)
    for line in lines:
        m = re.search(rb"Progress: ([0-9.]+)%", line)
        if m:
            figures += 1
            last_figure = float(m.group(1))
            if first_move == 0.0 and last_figure > 0:
                first_move = now
rc = child.wait()
print("launch_at=%.6f first_move_at=%.6f exit_at=%.6f last_figure=%.1f figures=%d rc=%d"
      % (launch, first_move, time.monotonic(), last_figure, figures, rc))
PY
}
warm_paced c300
for run in $(seq 1 "$RUNS"); do
  for path in off on; do
    before=$(band_lines)
    line=$(progress_run $path)
    sleep 0.1
    band0=$(bands_since "$before" | head -1 | sed -n 's/.* at=//p')
    record "kind=progress path=$path run=$run $line band0_at=${band0:-0}"
  done
done
record_load end
echo "  load at end:   $(uptime)"
echo
python3 "$(dirname "${BASH_SOURCE[0]}")/streaming_table.py" "$STREAM_REC" "$RUNS"
if [ -n "${RECORDS_OUT:-}" ] && [ "$SECTION" = streaming ]; then
  cp "$STREAM_REC" "$RECORDS_OUT"
  echo "(every run's figures: $RECORDS_OUT)"
fi
