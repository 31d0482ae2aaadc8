# shellcheck shell=bash
# What recording (record.sh) and replaying (tests/e2e/e2e_replay.sh) the
# traces of this folder share: the list, one scanimage run, and its digest.
#   traces_list                  the lines of traces.list without comments
#   traces_scan DIR DEVICE SWITCHES [SIGINT AFTER]
#                                scanimage on DEVICE with the list's SWITCHES in
#                                DIR (its frames there, its messages in
#                                DIR/scanimage.err, its status in DIR/status),
#                                interrupted after the given seconds as a user
#                                would (a cancelled page); TRACES_WRAP, when
#                                set, is a command that runs scanimage
#                                (usb_scanner_server [OPTIONS] --)
#   traces_usb_pid MODEL         the model's USB product ID (the vendor's is 5E5A)
#   traces_digest DIR DELIVERY   what that run gave, one line each, prefixed by
#                                the delivery (whole or streaming): status,
#                                scanimage's messages, each frame's SHA-256

TRACES_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

traces_list() {
  grep -v '^#' "$TRACES_DIR/traces.list" | grep -v '^$'
}

traces_scan() {  # DIR DEVICE SWITCHES [SIGINT AFTER]
  local dir=$1 device=$2 switches=$3 after=${4:-} p rc=0
  mkdir -p "$dir"
  # (timeout --foreground: a plain timeout would pass the signal to its whole
  # process group, and scanimage gives up at once on a second one.)
  eval "set -- $switches"
  (cd "$dir" && exec ${TRACES_WRAP:-} timeout --foreground 120 scanimage -d "$device" "$@" 2>"$dir/scanimage.err" >/dev/null) &
  p=$!
  if [ -n "$after" ]; then
    sleep "$after"
    kill -INT $p 2>/dev/null || true  # handed on to scanimage
  fi
  wait $p || rc=$?
  echo "$rc" >"$dir/status"
}

traces_usb_pid() {
  case $1 in OR-M1020) echo 1001 ;; OR-M2270fdw) echo 1006 ;; *) echo "traces: no USB ID for $1" >&2; return 1 ;; esac
}

traces_digest() {  # DIR DELIVERY
  local dir=$1 d=$2 f
  echo "$d status $(cat "$dir/status")"
  # scanimage's own words (not the backend's log lines); where the status was
  # reported (sane_start or sane_read) is the delivery's business.
  sed -n 's/^scanimage: \(sane_[a-z_]*: \)\{0,1\}//p' "$dir/scanimage.err" | sed "s/^/$d message /"
  for f in $(cd "$dir" && ls frame* 2>/dev/null | sort -V); do
    echo "$d frame $f $(sha256sum <"$dir/$f" | cut -d' ' -f1)"
  done
}
