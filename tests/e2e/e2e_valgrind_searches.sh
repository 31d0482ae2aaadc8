#!/bin/bash
# Ten device searches, each opening and closing the device found, then exit,
# under valgrind: nothing that a search replaces, and nothing left at exit, is
# definitely lost; no invalid access.
set -u
. "$(dirname "$0")/lab_lib.sh"
. "$(dirname "$0")/checks_lib.sh"
lab_init
lab_bridge br1 10.231.1.10/24
lab_sim_device scanner br1 10.231.1.21/24 --model OR-M1020 --serial OR-0001
out=$(valgrind --tool=memcheck --error-exitcode=99 --errors-for-leak-kinds=definite --leak-check=full \
        "$LAB_BIN/search_repeat" "$ORVELA_LIBDIR/libsane-orvela.so.1" 10 2>&1)
rc=$?
echo "$out" | grep -E 'searches=|definitely lost|ERROR SUMMARY'
[ $rc = 0 ] && ok || bad "search_repeat under valgrind exited $rc"
echo "$out" | grep -q 'searches=10 found=10' && ok || bad "not every search found the scanner"
finish
