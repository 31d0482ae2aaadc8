#!/bin/bash
# Discovery on a host with one, then two, then three subnets: real snmpd
# agents answer the SNMP broadcast; the maker's devices are listed once each,
# foreign ones not at all; a hostile host's junk neither ends the search nor
# adds a device; a search takes about 7 s whatever the number of subnets. A
# scanner whose agent answers no broadcast is listed only through orvela.conf,
# and alone, at once, with the broadcast switched off.
set -eu
. "$(dirname "$0")/checks_lib.sh"
e2e_lab
CFG=$SANE_CONFIG_DIR
lab_bridge br1 10.231.1.10/24
# A feeder model with its right-rear reference point, on the first subnet.
lab_device feeder br1 10.231.1.21/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;CMD:PCL;" OR-0001
# A flatbed model that later joins the second subnet too: listed once.
lab_device twohomed br1 10.231.1.22/24 1.3.6.1.4.1.96122.3.201 "MFG:Orvela;MODEL:OR-P1400;" OR-0002
# One of ours without the 1284 ID object.
lab_device noid br1 10.231.1.23/24 1.3.6.1.4.1.93501.1.101 "" OR-0005
# Reachable only by a direct request: its snmpd lacks the broadcast shim.
LAB_SNMPD_UNICAST=1 lab_device quiet br1 10.231.1.24/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0006
# Two of one model with the factory's placeholder serial: two devices.
lab_device twin1 br1 10.231.1.25/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" 0000000000
lab_device twin2 br1 10.231.1.26/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" 0000000000
# Answers every request with an empty datagram, malformed BER, then a
# 65000-byte GetResponse with an error status and over-long values.
lab_sim_device hostile br1 10.231.1.30/24 --model OR-M1020 --serial HOSTILE --snmp-junk --snmp-error-status 5 \
  --snmp-error-keep-values --snmp-oversize 65000 --sys-name "$(printf '%3000s' '' | tr ' ' h)"

times=()
# One search, timed, with its log: the output in $out, the device lines in $devs.
search() {  # WHAT
  local start
  start=$(date +%s.%N)
  out=$("$LAB_BIN/devlist_probe" -v 2>&1) || bad "search ($1): devlist_probe failed"
  secs=$(echo "$(date +%s.%N) - $start" | bc)
  devs=$(grep -E '^[0-9]+\|(net|usb)\|' <<<"$out" || true)
  times+=("$1 ${secs}s")
  printf '%s\nsearch (%s) took %ss\n' "$devs" "$1" "$secs"
  check "search ($1) within 9 s" test "$(echo "$secs < 9" | bc)" = 1
}
count() { check "$1 devices" grep -qxF "count=$1" <<<"$out"; }
no_line() { ! grep -q "$@"; }
listed() { check "listed: $2" grep -q "$1" <<<"$devs"; }
not_listed() { check "not listed: $2" no_line "$1" <<<"$devs"; }
once() { check "listed once: $2" test "$(grep -c "$1" <<<"$devs")" = 1; }

search "1 subnet"
count 4
listed "|net|socket://10.231.1.21|Orvela|OR-M2270fdw|OR-0001|10.231.1.21|53010|1|1$" "feeder device"
listed '|net|socket://10.231.1.22|Orvela|OR-P1400|OR-0002|10.231.1.22|53010|0|0$' "two-homed device"
listed '|socket://10.231.1.25|Orvela|OR-M1020|0000000000|' "first device with a placeholder serial"
listed '|socket://10.231.1.26|Orvela|OR-M1020|0000000000|' "second device with a placeholder serial"
not_listed '10.231.1.23|' "agent without the 1284 ID"
not_listed '10.231.1.24|' "scanner that answers no broadcast, without orvela.conf"
not_listed '10.231.1.30|' "hostile host"
check "the hostile host's empty datagram was read" grep -q 'Datagram dropped: empty' <<<"$out"
check "the hostile host's junk was read" grep -q 'Datagram dropped: not an error-free GetResponse' <<<"$out"

lab_bridge br2 10.231.2.10/24
lab_join twohomed br2 10.231.2.22/24
# Accepted through the imaging prefix alone, without a maker in its ID.
lab_device imaging br2 10.231.2.31/24 1.3.6.1.4.1.2021.250.10 "MDL:OR-Image;" OR-0003
# A stock agent of another maker.
lab_device foreign br2 10.231.2.32/24 1.3.6.1.4.1.8072.3.2.10 "MFG:Other;MDL:Thing;" X-0004
printf '# listed scanners\nsocket://10.231.1.24\nsocket://10.231.1.21\n' >"$CFG/orvela.conf"
search "2 subnets, orvela.conf"
count 6
listed '|socket://10.231.1.24|Orvela|OR-M1020|OR-0006|10.231.1.24|' "scanner in orvela.conf that answers no broadcast"
listed '|net|socket://10.231.2.31||imaging|OR-0003|10.231.2.31|53010|0|0$' "imaging-prefix device"
once '10.231.[12].22|' "two-homed device"
once '10.231.1.21|' "device in orvela.conf that the broadcast finds too"
not_listed '10.231.2.32|' "foreign agent"

lab_bridge br3 10.231.3.10/24
lab_device third br3 10.231.3.41/24 1.3.6.1.4.1.93501.1.101 "MFG:Orvela;MDL:OR-M1020;" OR-0007
rm "$CFG/orvela.conf"
search "3 subnets"
count 6
listed '|socket://10.231.3.41|Orvela|OR-M1020|OR-0007|' "device on the third subnet"
not_listed '10.231.1.24|' "scanner that answers no broadcast, without orvela.conf"

# A real frontend with the broadcast off: the listed scanner alone, in the
# time of one direct request; then opened by name by a process that never
# searched.
printf 'discovery broadcast off\nsocket://10.231.1.24\n' >"$CFG/orvela.conf"
start=$(date +%s.%N)
list=$(scanimage -L 2>&1) || true
secs=$(echo "$(date +%s.%N) - $start" | bc)
times+=("broadcast off ${secs}s")
echo "$list"
echo "scanimage -L with the broadcast off took ${secs}s"
check "broadcast off: the listed scanner alone" test "$(grep -c "^device \`orvela:" <<<"$list")" = 1
check "broadcast off: the listed scanner" \
  grep -qF "device \`orvela:socket://10.231.1.24' is a Orvela OR-M1020 Scanner" <<<"$list"
check "broadcast off: within 2 s" test "$(echo "$secs < 2" | bc)" = 1
rm "$CFG/orvela.conf"
check "listed scanner opened by name" scanimage -d orvela:socket://10.231.1.24 -A >/dev/null 2>&1

# A scanner whose SNMP agent answers nothing: listed and scanned through the
# model on its line; without the model the log says to add it.
LAB_SIM_NO_SNMP=1 lab_sim_device mute br1 10.231.1.27/24 --model OR-M2270fdw

# orvela-discover over three subnets, with the scanner that answers only its
# listed address and the silent one listed: the socket:// lines it prints,
# pasted into orvela.conf, make scanimage list the same scanners; the silent
# one is named with its hint, and listed once its model is added.
discover() { drc=0; dout=$("$LAB_BIN/orvela-discover" "$@" 2>&1) || drc=$?; echo "$dout"; }
addresses() { grep -oE '10\.231\.[0-9]+\.[0-9]+' | sort -u | tr '\n' ' '; }
printf 'socket://10.231.1.24\nsocket://10.231.1.27\nusb maybe\n' >"$CFG/orvela.conf"
discover -t "$OUT/search.trace"
check "discover: status 0 when found" test "$drc" = 0
check "discover: the warning for a line of orvela.conf it skips" grep -qF 'orvela.conf:3: "usb" takes on or off' <<<"$dout"
check "discover -t: the trace file, mode 0600" test "$(stat -c %a "$OUT/search.trace")" = 600
check "discover -t: the broadcast in the trace" grep -qE '> snmp 10\.231\.1\.255:161 30' "$OUT/search.trace"
check "discover -t: an answer in the trace" grep -qE '< snmp 10\.231\.1\.21:161 30' "$OUT/search.trace"
pasted=$(grep '^socket://' <<<"$dout" || true)
check "discover: a line for each scanner, none for the silent one" \
  test "$(sed 's/10.231.2.22$/10.231.1.22/' <<<"$pasted" | addresses)" = \
  "10.231.1.21 10.231.1.22 10.231.1.24 10.231.1.25 10.231.1.26 10.231.2.31 10.231.3.41 "
check "discover: model, serial, interface and time" grep -qE "^# orvela:socket://10.231.1.21  Orvela OR-M2270fdw  \
serial OR-0001  answered on interface br1 \(10.231.1.10, broadcast 10.231.1.255\) in [0-9]+ ms$" <<<"$dout"
check "discover: the listed address it answered" \
  grep -qE "^# orvela:socket://10.231.1.24 .* answered on listed address socket://10.231.1.24 in [0-9]+ ms$" <<<"$dout"
check "discover: the silent scanner's hint" grep -qF "# socket://10.231.1.27 answers on the scan port (53010) but \
not to SNMP: add its model" <<<"$dout"
printf 'discovery broadcast off\n%s\n' "$pasted" >"$CFG/orvela.conf"
list=$(scanimage -L 2>&1) || true
echo "$list"
check "pasted lines: scanimage lists the same scanners" test "$(addresses <<<"$list")" = "$(addresses <<<"$pasted")"
sed -n 's|^# \(socket://10.231.1.27\) MODEL$|\1 OR-M2270fdw|p' <<<"$dout" >>"$CFG/orvela.conf"
discover
check "model added: discover lists it" grep -qxF "socket://10.231.1.27 OR-M2270fdw" <<<"$dout"
check "model added: scanimage lists it" grep -qF "device \`orvela:socket://10.231.1.27' is a Orvela OR-M2270fdw" \
  <(scanimage -L 2>&1)
# Nothing found: what each listed address sent back, and the causes.
printf 'discovery broadcast off\nsocket://10.231.2.32\nsocket://10.231.1.30\nsocket://10.231.1.99\n' >"$CFG/orvela.conf"
discover -d
check "nothing found: status 1" test "$drc" = 1
check "-d: the search's log" grep -q "remote address: 10.231.1.99" <<<"$dout"
check "nothing found: a foreign model's reply" grep -qE \
  "^  listed address socket://10.231.2.32: [0-9]+ requests? sent; came back: [0-9]+ repl(y|ies) that names? no" \
  <<<"$dout"
check "nothing found: malformed replies" \
  grep -qE "^  listed address socket://10.231.1.30: .*came back: [0-9]+ malformed replies" <<<"$dout"
check "nothing found: silence" \
  grep -qE "^  listed address socket://10.231.1.99: [0-9]+ requests sent; came back: nothing$" <<<"$dout"
for cause in "the broadcast is switched off" "a firewall on this computer that drops UDP from port 161" \
    "SNMP switched off on the printer" "socket://ADDRESS MODEL"; do
  check "nothing found: the cause \"$cause\"" grep -qF "$cause" <<<"$dout"
done
rm "$CFG/orvela.conf"
dout=$(unshare -n sh -c 'ip link set lo up && exec "$0"' "$LAB_BIN/orvela-discover" 2>&1) && drc=0 || drc=$?
check "no interface: status 1 and the cause" \
  test "$drc:$(grep -c 'no interface with an IPv4 broadcast' <<<"$dout")" = 1:1
for args in -x "-d extra" "-t $OUT/search.trace"; do
  check "refused ($args): status 2" test "$("$LAB_BIN/orvela-discover" $args >/dev/null 2>&1; echo $?)" = 2
done
printf 'discovery broadcast off\nsocket://10.231.1.27  OR-M2270fdw\n' >"$CFG/orvela.conf"
list=$(scanimage -L 2>&1) || true
echo "$list"
check "no SNMP, model listed: listed as its model" \
  grep -qF "device \`orvela:socket://10.231.1.27' is a Orvela OR-M2270fdw Scanner" <<<"$list"
check "no SNMP, model listed: scans a page" scanimage -d orvela:socket://10.231.1.27 --mode Gray --resolution 75 \
  --format=pnm -o "$OUT/mute.pnm"
check "no SNMP, model listed: the page is an image" grep -qa '^P5' "$OUT/mute.pnm"
printf 'discovery broadcast off\nsocket://10.231.1.27\n' >"$CFG/orvela.conf"
out=$(SANE_DEBUG_ORVELA=2 scanimage -L 2>&1) || true
check "no SNMP, no model: the log gives the hint" grep -qF "socket://10.231.1.27 answers on the scan port but not to SNMP: add its model to the line in orvela.conf (socket://10.231.1.27 MODEL)" <<<"$out"
# An answer wins over the model on the line.
printf 'discovery broadcast off\nsocket://10.231.1.24 OR-M2270fdw\nsocket://10.231.1.27 OR-M2270fdw\n' >"$CFG/orvela.conf"
search "models listed"
count 2
once '|socket://10.231.1.24|Orvela|OR-M1020|OR-0006|10.231.1.24|53010|0|0$' "answer over the listed model"
listed '|net|socket://10.231.1.27|Orvela|OR-M2270fdw||10.231.1.27|53010|1|1$' "model listed, no SNMP"
check "an SNMP answer: no hint" no_line "answers on the scan port" <<<"$out"
rm "$CFG/orvela.conf"

echo "search times: ${times[*]}"
finish
