#!/bin/bash
# Discovery against devices that answer SNMP badly, each a scanner simulator
# in a namespace of its own on two made-up subnets: no bad answer adds a
# device or upsets the search (run once under valgrind when it is there), long
# texts are cut within the record's fields, a device on both subnets is listed
# once, a flood of answers from other agents hides no device, and a host that
# keeps answering cannot hold the search open past its deadline.
set -eu
. "$(dirname "$0")/checks_lib.sh"
e2e_lab  # no orvela.conf: the defaults
lab_bridge br1 10.231.1.10/24
lab_bridge br2 10.231.2.10/24

# The device lines of devlist_probe's output (the log lines of -v aside).
devices() { grep -E '^[0-9]+\|(net|usb)\|' <<<"$out" || true; }
listed() { devices | grep -q "|socket://$1|"; }
not_listed() { ! listed "$1"; }
no_line() { ! grep -q "$1" <<<"$out"; }  # PATTERN: no line of the output has it
line_of() { devices | grep "|socket://$1|"; }
field() { line_of "$1" | cut -d'|' -f"$2"; }
# The simulator's own count of the answers it sent.
answered() { grep -qE 'SNMP: [0-9]+ datagrams received, [1-9][0-9]* answers sent' "$LAB_RUN/$1/sim.log"; }
x() { printf "%${1}s" '' | tr ' ' "$2"; }  # COUNT CHAR: the character repeated

# --- good devices and long values ---
lab_sim_device good br1 10.231.1.21/24 --model OR-M2270fdw --serial OR-1001
lab_sim_device twohomed br1 10.231.1.22/24 --model OR-P1400 --serial OR-1002
lab_join twohomed br2 10.231.2.22/24
# sysName beyond 1023 characters, named by it (no maker in the 1284 ID).
lab_sim_device longname br2 10.231.2.23/24 --sys-name "$(x 1500 n)" --device-id 'MDL:OR-Long;' --serial OR-1003
# A 1284 ID beyond 1023 characters with pairs beyond 511, a serial beyond 63.
lab_sim_device longid br1 10.231.1.24/24 --device-id "MFG:$(x 600 m);MDL:$(x 700 d);" --serial "$(x 100 s)"
# Embedded zero bytes and a newline.
lab_sim_device oddtext br2 10.231.2.25/24 --sys-name 'line1\nline2' --device-id 'MDL:OR-Odd;' \
  --serial 'SN\0hidden'

# --- bad answers: none of these is a device ---
bad=(
  "errstat  br1 10.231.1.31 --snmp-error-status 2"
  "errkeep  br1 10.231.1.32 --snmp-error-status 5 --snmp-error-keep-values"
  "missid   br1 10.231.1.33 --snmp-missing deviceid"
  "missall  br1 10.231.1.34 --snmp-missing all"
  "nulloid  br2 10.231.2.35 --snmp-null objectid"
  "nullsn   br2 10.231.2.36 --snmp-null serial"
  "omitname br2 10.231.2.37 --snmp-omit sysname"
  "omitsn   br2 10.231.2.38 --snmp-omit serial"
  "pdureq   br1 10.231.1.39 --snmp-pdu 0xA0"
  "pdutrap  br1 10.231.1.40 --snmp-pdu 0xA4"
  "trunc    br1 10.231.1.41 --snmp-truncate 60"
  "trunc2   br2 10.231.2.42 --snmp-truncate 150"
  "oversize br2 10.231.2.43 --snmp-oversize 3000"
  "huge     br2 10.231.2.44 --snmp-oversize 65000"
  "foreign  br1 10.231.1.45 --sys-object-id 1.3.6.1.4.1.8072.3.2.10"
  "extended br1 10.231.1.46 --sys-object-id 1.3.6.1.4.1.96122.3.201.5"
  "othercom br2 10.231.2.47 --community public"
)
for entry in "${bad[@]}"; do
  read -r name bridge addr args <<<"$entry"
  # shellcheck disable=SC2086
  lab_sim_device "$name" "$bridge" "$addr/24" --model OR-M1020 --serial "BAD-$name" $args
done

runner=()
if command -v valgrind >/dev/null; then
  runner=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite)
fi
start=$(date +%s.%N)
rc=0
out=$("${runner[@]}" "$LAB_BIN/devlist_probe" -v 2>&1) || rc=$?
end=$(date +%s.%N)
devices
echo "first search: ${runner[0]:-plain} run, exit $rc, $(echo "$end - $start" | bc) s"
check "probe exits 0 (valgrind clean)" test "$rc" = 0
for name in good twohomed longname longid oddtext; do check "$name answered the search" answered "$name"; done
check "device count" grep -qxF "count=5" <<<"$out"
check "good device with its row's flags" \
  grep -q '|net|socket://10.231.1.21|Orvela|OR-M2270fdw|OR-1001|10.231.1.21|53010|1|1$' <<<"$(devices)"
twice=$(devices | grep -c '|OR-1002|' || true)
check "device on two subnets listed once ($twice)" test "$twice" = 1
check "long sysName cut to the model field" test "$(field 10.231.2.23 5)" = "$(x 31 n)"
check "long maker cut to the brand field" test "$(field 10.231.1.24 4)" = "$(x 31 m)"
check "long model pair cut to the model field" test "$(field 10.231.1.24 5)" = "$(x 31 d)"
check "long serial cut to the serial field" test "$(field 10.231.1.24 6)" = "$(x 31 s)"
check "zero byte ends the serial" grep -qF '|SN|10.231.2.25|53010|' <<<"$out"
check "newline in a name becomes '?'" grep -qF '|line1?line2|SN|10.231.2.25|' <<<"$out"
for entry in "${bad[@]}"; do
  read -r name bridge addr args <<<"$entry"
  check "$name ($args) is no device" not_listed "$addr"
  if [ "$name" = othercom ]; then
    check "$name was asked and kept quiet" grep -qE 'SNMP: [1-9][0-9]* datagrams received, 0 answers' "$LAB_RUN/$name/sim.log"
  else
    check "$name answered the search" answered "$name"
  fi
done
check "search ended on the quiet" grep -q 'recv failed' <<<"$out"

# --- a flood of answers from other agents, and one that never stops ---
for entry in "${bad[@]}"; do lab_stop "${entry%% *}"; done
for name in good twohomed longname longid oddtext; do lab_stop "$name"; done
ip link del br2
# 2000 foreign answers, one a millisecond from four other addresses, then the
# device's own: read through, it is listed.
LAB_SIM_EXTRA_ADDRS="10.231.1.101/24 10.231.1.102/24 10.231.1.103/24 10.231.1.104/24" \
  lab_sim_device flood br1 10.231.1.51/24 --model OR-M1020 --serial FLOOD-1 --snmp-flood 2000 \
  --snmp-flood-from 10.231.1.101,10.231.1.102,10.231.1.103,10.231.1.104 --snmp-flood-interval 1000
# One foreign answer every 4 s, for ever as the search goes: the quiet time
# never passes, the deadline (three quiet times after sending) ends the search.
lab_sim_device drip br1 10.231.1.52/24 --model OR-M1020 --serial DRIP-1 --snmp-flood 100 \
  --snmp-flood-interval 4000000
start=$(date +%s.%N)
out=$("$LAB_BIN/devlist_probe" -v 2>&1) || true
secs=$(echo "$(date +%s.%N) - $start" | bc)
reads=$(grep -c 'read size=' <<<"$out" || true)
sleep 0.3  # the simulator reports its counts every 0.1 s
echo "flood and drip: $reads datagrams read, $(grep -c 'Response from' <<<"$out" || true) well-formed," \
  "search took $secs s; $(tail -1 "$LAB_RUN/flood/sim.log"); $(tail -1 "$LAB_RUN/drip/sim.log")"
check "device answering after 2000 foreign datagrams listed" listed 10.231.1.51
check "the flood came from other agents and was read ($reads reads)" \
  grep -qF 'Response from 10.231.1.104:' <<<"$out"
check "... all of it" test "$reads" -ge 2001
check "no agent of the flood listed" grep -qxF "count=1" <<<"$out"
check "search ended at its deadline" grep -qF 'Search deadline reached' <<<"$out"
check "... 15 s after sending ended (${secs}s)" test "$(echo "$secs > 16.5 && $secs < 20" | bc)" = 1

finish
