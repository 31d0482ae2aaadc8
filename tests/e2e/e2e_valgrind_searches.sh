#!/bin/bash
# Ten device searches, each opening and closing the device found; then, the
# device gone, one more that finds nothing while the host still holds the list
# of the last one and reads its names; then exit, all under valgrind: nothing
# that a search replaces, and nothing left at exit, is definitely lost; no
# invalid access. orvela.conf shortens the quiet time to 2 s.
set -eu
. "$(dirname "$0")/checks_lib.sh"
e2e_lab
echo "discovery wait 2" >"$SANE_CONFIG_DIR/orvela.conf"
lab_bridge br1 10.231.1.10/24
lab_sim_device scanner br1 10.231.1.21/24 --model OR-M1020 --serial OR-0001
mkfifo "$LAB_RUN/go"
start=$(date +%s.%N)
valgrind --tool=memcheck --error-exitcode=99 --errors-for-leak-kinds=definite --leak-check=full \
  "$LAB_BIN/search_repeat" "$ORVELA_LIBDIR/libsane-orvela.so.1" 10 gone <"$LAB_RUN/go" >"$OUT/searches.log" 2>&1 &
vg=$!
exec 3>"$LAB_RUN/go"
while ! grep -q 'waiting for the device to go' "$OUT/searches.log" && kill -0 "$vg" 2>/dev/null; do sleep 0.1; done
searched=$(echo "$(date +%s.%N) - $start" | bc)
lab_stop scanner
echo gone >&3
exec 3>&-
rc=0
wait "$vg" || rc=$?
out=$(cat "$OUT/searches.log")
echo "$out" | grep -E 'searches=|after the device went|definitely lost|ERROR SUMMARY' || true
echo "ten searches under valgrind took ${searched}s"
[ $rc = 0 ] && ok || bad "search_repeat under valgrind exited $rc"
echo "$out" | grep -q 'searches=10 found=10' && ok || bad "not every search found the scanner"
echo "$out" | grep -q 'status 11, held list intact' && ok || bad "search without the device: not ACCESS_DENIED, list intact"
# 2 s of sending and 2 s of quiet each (7 s each with the default quiet time).
[ "$(echo "$searched < 55" | bc)" = 1 ] && ok || bad "ten searches took ${searched}s: discovery wait not applied?"
finish
