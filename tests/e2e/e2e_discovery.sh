#!/bin/bash
# Discovery on a host with one, then two, then three subnets: real snmpd
# agents answer the SNMP broadcast; the maker's devices are listed once each,
# foreign ones not at all; a hostile host's junk neither ends the search nor
# adds a device; a search takes about 7 s whatever the number of subnets. A
# scanner whose agent answers no broadcast is listed only through orvela.conf,
# and alone, at once, with the broadcast switched off.
set -eu
. "$(dirname "$0")/lab_lib.sh"
lab_init
CFG=$(lab_sane_config)
export SANE_CONFIG_DIR=$CFG LD_LIBRARY_PATH=$ORVELA_LIBDIR
lab_bridge br1 10.231.1.10/24
# A feeder model with its right-rear reference point, on the first subnet.
lab_device feeder br1 10.231.1.21/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;CMD:PCL;" OR-0001
# A flatbed model that later joins the second subnet too: listed once.
lab_device twohomed br1 10.231.1.22/24 1.3.6.1.4.1.96122.3.201 "MFG:Orvela;MODEL:OR-P1400;" OR-0002
# One of ours without the 1284 ID object.
lab_device noid br1 10.231.1.23/24 1.3.6.1.4.1.93501.1.101 "" OR-0005
# Reachable only by a direct request: its snmpd lacks the broadcast shim.
LAB_SNMPD_PRELOAD='' lab_device quiet br1 10.231.1.24/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0006
# Two of one model with the factory's placeholder serial: two devices.
lab_device twin1 br1 10.231.1.25/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" 0000000000
lab_device twin2 br1 10.231.1.26/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" 0000000000
# Answers every request with an empty datagram, malformed BER, then a
# 65000-byte GetResponse with an error status and over-long values.
lab_sim_device hostile br1 10.231.1.30/24 --model OR-M1020 --serial HOSTILE --snmp-junk --snmp-error-status 5 \
  --snmp-error-keep-values --snmp-oversize 65000 --sys-name "$(printf '%3000s' '' | tr ' ' h)"

fail=0
times=()
expect() { grep -qxF "$1" <<<"$out" || { echo "FAIL: missing line: $1"; fail=1; }; }
has() { grep -q "$1" <<<"$devs" || { echo "FAIL: $2"; fail=1; }; }
hasnt() { ! grep -q "$1" <<<"$devs" || { echo "FAIL: $2"; fail=1; }; }
search() {  # WHAT: one search with the log, timed; its devices printed
  local start
  start=$(date +%s.%N)
  out=$("$LAB_BIN/devlist_probe" -v 2>&1)
  secs=$(echo "$(date +%s.%N) - $start" | bc)
  devs=$(grep -E '^[0-9]+\|(net|usb)\|' <<<"$out" || true)
  times+=("$1 ${secs}s")
  printf '%s\nsearch (%s) took %ss\n' "$devs" "$1" "$secs"
  [ "$(echo "$secs < 9" | bc)" = 1 ] || { echo "FAIL: search ($1) took ${secs}s"; fail=1; }
}

search "1 subnet"
expect "count=4"
has "|net|socket://10.231.1.21|Orvela|OR-M2270fdw|OR-0001|10.231.1.21|53010|1|1$" "feeder device"
has '|net|socket://10.231.1.22|Orvela|OR-P1400|OR-0002|10.231.1.22|53010|0|0$' "two-homed device"
has '|socket://10.231.1.25|Orvela|OR-M1020|0000000000|' "first device with a placeholder serial"
has '|socket://10.231.1.26|Orvela|OR-M1020|0000000000|' "second device with a placeholder serial"
hasnt '10.231.1.23|' "agent without the 1284 ID listed"
hasnt '10.231.1.24|' "scanner that answers no broadcast listed without orvela.conf"
hasnt '10.231.1.30|' "hostile host listed"
grep -q 'Datagram dropped: empty' <<<"$out" || { echo "FAIL: no empty datagram seen"; fail=1; }
grep -q 'Datagram dropped: not an error-free GetResponse' <<<"$out" || { echo "FAIL: no junk seen"; fail=1; }

lab_bridge br2 10.231.2.10/24
lab_join twohomed br2 10.231.2.22/24
# Accepted through the imaging prefix alone, without a maker in its ID.
lab_device imaging br2 10.231.2.31/24 1.3.6.1.4.1.2021.250.10 "MDL:OR-Image;" OR-0003
# A stock agent of another maker.
lab_device foreign br2 10.231.2.32/24 1.3.6.1.4.1.8072.3.2.10 "MFG:Other;MDL:Thing;" X-0004
printf '# listed scanners\nsocket://10.231.1.24\nsocket://10.231.1.21\n' >"$CFG/orvela.conf"
search "2 subnets, orvela.conf"
expect "count=6"
has '|socket://10.231.1.24|Orvela|OR-M1020|OR-0006|10.231.1.24|' "listed scanner that answers no broadcast"
has '|net|socket://10.231.2.31||imaging|OR-0003|10.231.2.31|53010|0|0$' "imaging-prefix device"
[ "$(grep -c '10.231.[12].22|' <<<"$devs")" = 1 ] || { echo "FAIL: two-homed device not listed once"; fail=1; }
[ "$(grep -c '10.231.1.21|' <<<"$devs")" = 1 ] || { echo "FAIL: listed and broadcast-found device not listed once"; fail=1; }
hasnt '10.231.2.32|' "foreign agent listed"

lab_bridge br3 10.231.3.10/24
lab_device third br3 10.231.3.41/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0007
rm "$CFG/orvela.conf"
search "3 subnets"
expect "count=6"
has '|socket://10.231.3.41|Orvela|OR-M1020|OR-0007|' "device on the third subnet"
hasnt '10.231.1.24|' "scanner that answers no broadcast listed without orvela.conf"

# A real frontend with the broadcast off: the listed scanner alone, in the
# time of one direct request; then opened by name by a process that never
# searched.
printf 'discovery broadcast off\nsocket://10.231.1.24\n' >"$CFG/orvela.conf"
start=$(date +%s.%N)
list=$(scanimage -L 2>&1)
secs=$(echo "$(date +%s.%N) - $start" | bc)
times+=("broadcast off ${secs}s")
echo "$list"
echo "scanimage -L with the broadcast off took ${secs}s"
[ "$(grep -c "^device \`orvela:" <<<"$list")" = 1 ] &&
  grep -qF "device \`orvela:socket://10.231.1.24' is a Orvela OR-M1020 Scanner" <<<"$list" ||
  { echo "FAIL: broadcast off: $list"; fail=1; }
[ "$(echo "$secs < 2" | bc)" = 1 ] || { echo "FAIL: broadcast off took ${secs}s"; fail=1; }
rm "$CFG/orvela.conf"
scanimage -d orvela:socket://10.231.1.24 -A >/dev/null 2>&1 || { echo "FAIL: listed scanner not opened by name"; fail=1; }

echo "search times: ${times[*]}"
[ "$fail" = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $fail
