#!/bin/bash
# Replays every wire trace of tests/traces through scanimage, by both page
# deliveries: the simulator plays the trace (--replay) and must end with every
# session played (the backend sent the very commands of the trace), and
# scanimage must give the status, messages and frames of the digest kept
# beside the trace. Then traces edited to differ: a reply changed (the replay
# stops where the backend's answer to it shows, or the frames differ), a
# command missing (reported at its index), a malformed file (refused with its
# line number). Traces named usb-* are recorded and replayed over the
# emulated USB bus (usb_scanner_server --replay).
set -eu
. "$(dirname "$0")/checks_lib.sh"
. "$(dirname "$0")/../traces/traces_lib.sh"
e2e_lab
lab_bridge br1 10.233.1.10/24
n=0

# replay LABEL TRACE MODEL DELIVERY SWITCHES SIGINT_AFTER: scans from a
# simulator replaying TRACE (over the emulated USB bus when LABEL starts
# usb-); leaves in $OUT/LABEL what scanimage gave, and the replay's verdict:
# the simulator's exit status (sim-status) and messages (sim.log).
replay() {
  local label=$1 trace=$2 model=$3 delivery=$4 scan=$5 after=$6 dir=$OUT/$1 sim pid rc=0
  n=$((n + 1))
  if [[ $label == usb-* ]]; then
    pid=$(traces_usb_pid "$model")
    SANE_CONFIG_DIR=$(lab_sane_config "$delivery") \
      TRACES_WRAP="$LAB_BIN/usb_scanner_server --pid $pid --product $model --replay $trace --" \
      traces_scan "$dir" "orvela:usb://5E5A:$pid:SN0001" "$scan" "$after"
    # The server's status is scanimage's, or 99 when the trace was not played whole.
    [ "$(cat "$dir/status")" = 99 ] && echo 1 >"$dir/sim-status" || echo 0 >"$dir/sim-status"
    grep "^usb_scanner_server: " "$dir/scanimage.err" >"$dir/sim.log" || true
    return 0
  fi
  lab_sim_device "p$n" br1 "10.233.1.$((20 + n))/24" --model "$model" --replay "$trace"
  sim=${LAB_DEV_PIDS[p$n]%% *}
  SANE_CONFIG_DIR=$(lab_sane_config "$delivery") traces_scan "$dir" "orvela:socket://10.233.1.$((20 + n))" "$scan" "$after"
  # The simulator ends by itself after the last session or a difference.
  for _ in $(seq 1 100); do kill -0 "$sim" 2>/dev/null || break; sleep 0.05; done
  kill "$sim" 2>/dev/null || true
  wait "$sim" || rc=$?
  echo "$rc" >"$dir/sim-status"
  cp "$LAB_RUN/p$n/sim.log" "$dir/sim.log"
  lab_stop "p$n"
}

# same_as_recorded LABEL NAME DELIVERY: scanimage gave what the digest holds.
same_as_recorded() {
  local d
  d=$(diff <(grep "^$3 " "$TRACES_DIR/$2.digest") <(traces_digest "$OUT/$1" "$3")) && ok "$1: as recorded" ||
    bad "$1: not as recorded: $d"
}

n_traces=0
for trace in "$TRACES_DIR"/*.trace; do
  name=$(basename "$trace" .trace)
  if ! line=$(traces_list | grep "^$name|"); then
    bad "$name.trace is not in traces.list"
    continue
  fi
  n_traces=$((n_traces + 1))
  IFS='|' read -r _ model _ scan after <<<"$line"
  for delivery in whole streaming; do
    replay "$name-$delivery" "$trace" "$model" "$delivery" "$scan" "$after"
    [ "$(cat "$OUT/$name-$delivery/sim-status")" = 0 ] && ok "$name $delivery: whole trace played" ||
      bad "$name $delivery: replay status $(cat "$OUT/$name-$delivery/sim-status"): $(grep -v listening "$OUT/$name-$delivery/sim.log")"
    same_as_recorded "$name-$delivery" "$name" "$delivery"
  done
done
[ "$n_traces" -ge 11 ] && ok || bad "only $n_traces traces under $TRACES_DIR"

# --- traces edited to differ -------------------------------------------------
base=$TRACES_DIR/flatbed-gray.trace
IFS='|' read -r _ model _ scan _ <<<"$(traces_list | grep '^flatbed-gray|')"

# where FILE LINE: "session S of T (trace line L), command C of M (trace line
# LINE)" for the command on that line of a trace.
where() {
  awk -v want="$2" '
    / = open /   { s++; open[s] = NR; c[s] = 0 }
    / > (cmd|write) / { c[s]++; if (NR == want) { ws = s; wc = c[s] } }
    END { printf "session %d of %d (trace line %d), command %d of %d (trace line %d)", ws, s, open[ws], wc, c[ws], want }' "$1"
}
lock=$(grep -n ' > cmd lock ' "$base" | head -1 | cut -d: -f1)
params=$(grep -n ' > cmd scan-parameters ' "$base" | head -1 | cut -d: -f1)

# A reply changed: the first lock answered "busy". The backend lets go of the
# connection to ask again later; the replay names the command it waited for.
reply=$(awk -v l="$lock" 'NR > l && / < status / { print NR; exit }' "$base")
sed "${reply}s/< status 73../< status 7302/" "$base" >"$LAB_RUN/busy.trace"
replay busy-reply "$LAB_RUN/busy.trace" "$model" whole "$scan" ""
[ "$(cat "$OUT/busy-reply/sim-status")" = 1 ] && ok || bad "changed reply: replay status $(cat "$OUT/busy-reply/sim-status")"
expect="$(where "$base" "$params"): the trace has scan-parameters"
grep -qF "difference: $expect" "$OUT/busy-reply/sim.log" && ok "changed reply: reported at $expect" ||
  bad "changed reply: not reported at $expect: $(cat "$OUT/busy-reply/sim.log")"
[ "$(cat "$OUT/busy-reply/status")" != 0 ] && ok || bad "changed reply: scanimage succeeded"

# A byte of page data changed: the same commands, another frame.
data=$(awk '/ < data / { d = NR } d && NR == d + 20 { print NR; exit }' "$base")
sed "${data}s/^  ../  $(sed -n "${data}p" "$base" | cut -c3-4 | tr 0-9a-f 123456789abcdef0)/" "$base" >"$LAB_RUN/data.trace"
cmp -s "$base" "$LAB_RUN/data.trace" && bad "page data: the edit changed nothing"
replay data-byte "$LAB_RUN/data.trace" "$model" streaming "$scan" ""
[ "$(cat "$OUT/data-byte/sim-status")" = 0 ] && ok || bad "changed page data: replay status $(cat "$OUT/data-byte/sim-status")"
diff -q <(grep "^streaming " "$TRACES_DIR/flatbed-gray.digest") <(traces_digest "$OUT/data-byte" streaming) >/dev/null &&
  bad "changed page data: scanimage gave the recorded frame" || ok "changed page data: another frame"

# A command missing: the lock before the page and its reply taken out; the
# backend's lock arrives where the trace has the scan parameters.
sed "${lock}d;${reply}d" "$base" >"$LAB_RUN/nolock.trace"
expect="$(where "$LAB_RUN/nolock.trace" $((params - 2))): the trace has scan-parameters"
[[ "$expect" == *"command $(where "$base" "$lock" | sed 's/.*command \([0-9]*\) of.*/\1/') of"* ]] && ok ||
  bad "missing command: the edit did not take out the command before the scan parameters"
replay missing-lock "$LAB_RUN/nolock.trace" "$model" streaming "$scan" ""
[ "$(cat "$OUT/missing-lock/sim-status")" = 1 ] && ok || bad "missing command: replay status $(cat "$OUT/missing-lock/sim-status")"
grep "difference: " "$OUT/missing-lock/sim.log" | grep -qF "$expect" && grep -q "came lock 536c" "$OUT/missing-lock/sim.log" &&
  ok "missing command: reported at $expect" || bad "missing command: not reported at $expect: $(cat "$OUT/missing-lock/sim.log")"

# A malformed trace is refused before anything listens, with its line number.
sed "${data}s/\$/zz/" "$base" >"$LAB_RUN/bad.trace"
rc=0
timeout 20 "$LAB_BIN/orvela-scanner-sim" --listen 127.0.0.1 --port 0 --replay "$LAB_RUN/bad.trace" >/dev/null 2>"$OUT/bad.err" ||
  rc=$?
[ $rc = 2 ] && grep -q "bad.trace:$data: " "$OUT/bad.err" && ok "malformed trace refused at line $data" ||
  bad "malformed trace: status $rc: $(cat "$OUT/bad.err")"

finish
