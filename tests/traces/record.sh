#!/bin/bash
# Records the wire traces of this folder again, from the scanner simulator:
# for each line of traces.list (or only the NAMEs given), a simulated network
# scanner (an emulated USB one for names starting usb-) with the line's
# switches, and scanimage with the line's switches,
# once per page delivery. The backend's trace of the whole-page run (orvela.conf
# `trace DIRECTORY`) becomes NAME.trace; what scanimage gave in both runs
# (status, messages, each frame's digest) becomes NAME.digest, which the replay
# test (tests/e2e/e2e_replay.sh) expects a replay to give again.
#
# In a private network namespace, from a build directory's lab:
#   LAB_BIN=$PWD/build/lab ORVELA_LIBDIR=$PWD/build/lib unshare -n tests/traces/record.sh [NAME...]
# (absolute paths: scanimage runs in a folder of its own).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../e2e/lab_lib.sh"
. "$here/traces_lib.sh"
lab_init
lab_bridge br1 10.232.1.10/24
export LD_LIBRARY_PATH=$ORVELA_LIBDIR
n=0
while IFS='|' read -r name model switches scan after; do
  [ $# = 0 ] || [[ " $* " == *" $name "* ]] || continue
  : >"$here/$name.digest.new"
  for delivery in whole streaming; do
    n=$((n + 1))
    cfg=$(lab_sane_config "$delivery")
    traces=$LAB_RUN/traces-$n
    mkdir -p "$traces"
    echo "trace $traces" >>"$cfg/orvela.conf"
    if [[ $name == usb-* ]]; then
      pid=$(traces_usb_pid "$model")
      SANE_CONFIG_DIR=$cfg TRACES_WRAP="$LAB_BIN/usb_scanner_server --pid $pid --product $model $switches --" \
        traces_scan "$LAB_RUN/scan-$n" "orvela:usb://5E5A:$pid:SN0001" "$scan" "$after"
    else
      addr=10.232.1.$((20 + n))
      # shellcheck disable=SC2086  # the list's switches are words
      lab_sim_device "r$n" br1 "$addr/24" --model "$model" $switches
      SANE_CONFIG_DIR=$cfg traces_scan "$LAB_RUN/scan-$n" "orvela:socket://$addr" "$scan" "$after"
      lab_stop "r$n"
    fi
    traces_digest "$LAB_RUN/scan-$n" "$delivery" >>"$here/$name.digest.new"
    if [ "$delivery" = whole ]; then
      # The device's trace; the search's (SNMP only) has nothing to replay.
      files=()
      for f in "$traces"/*.trace; do [[ $f == *-search.trace ]] || files+=("$f"); done
      if [ "${#files[@]}" != 1 ] || [ ! -f "${files[0]}" ]; then
        echo "record: $name: expected one device trace, found: $(ls "$traces")" >&2
        rm -f "$here/$name.digest.new"
        exit 1
      fi
      cp "${files[0]}" "$here/$name.trace"
    fi
  done
  mv "$here/$name.digest.new" "$here/$name.digest"
  echo "recorded $name: $(wc -c <"$here/$name.trace") bytes; $(grep -c ' frame ' "$here/$name.digest") frames"
done < <(traces_list)
