#!/bin/bash
# Discovery on a host with two subnets: real snmpd agents answer the SNMP
# broadcast; the maker's devices are listed once each, foreign ones not at all.
set -eu
. "$(dirname "$0")/lab_lib.sh"
lab_init
lab_bridge br1 10.231.1.10/24
lab_bridge br2 10.231.2.10/24
# A feeder model with its right-rear reference point, on the first subnet.
lab_device feeder br1 10.231.1.21/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;CMD:PCL;" OR-0001
# A flatbed model reachable through both subnets: listed once.
lab_device twohomed br1 10.231.1.22/24 1.3.6.1.4.1.96122.3.201 "MFG:Orvela;MODEL:OR-P1400;" OR-0002
lab_join twohomed br2 10.231.2.22/24
# Accepted through the imaging prefix alone, without a maker in its ID.
lab_device imaging br2 10.231.2.31/24 1.3.6.1.4.1.2021.250.10 "MDL:OR-Image;" OR-0003
# A stock agent of another maker, and one of ours without the 1284 ID object.
lab_device foreign br2 10.231.2.32/24 1.3.6.1.4.1.8072.3.2.10 "MFG:Other;MDL:Thing;" X-0004
lab_device noid br1 10.231.1.23/24 1.3.6.1.4.1.93501.1.101 "" OR-0005

start=$(date +%s.%N)
out=$("$LAB_BIN/devlist_probe")
end=$(date +%s.%N)
echo "$out"
fail=0
expect() { echo "$out" | grep -qxF "$1" || { echo "FAIL: missing line: $1"; fail=1; }; }
expect "count=3"
echo "$out" | grep -q "|net|socket://10.231.1.21|Orvela|OR-M2270fdw|OR-0001|10.231.1.21|53010|1|1$" || { echo "FAIL: feeder device"; fail=1; }
echo "$out" | grep -q '|net|socket://10.231.1.22|Orvela|OR-P1400|OR-0002|10.231.1.22|53010|0|0$' ||
  echo "$out" | grep -q '|net|socket://10.231.2.22|Orvela|OR-P1400|OR-0002|10.231.2.22|53010|0|0$' ||
  { echo "FAIL: two-homed device"; fail=1; }
echo "$out" | grep -q '|net|socket://10.231.2.31||imaging|OR-0003|10.231.2.31|53010|0|0$' ||
  { echo "FAIL: imaging-prefix device"; fail=1; }
[ "$(echo "$out" | grep -c '10.231.[12].22')" = 1 ] || { echo "FAIL: two-homed device listed twice"; fail=1; }
echo "$out" | grep -q '10.231.2.32\|10.231.1.23' && { echo "FAIL: foreign or incomplete agent listed"; fail=1; }
secs=$(echo "$end - $start" | bc)
echo "discovery took ${secs}s"
[ "$fail" = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $fail
