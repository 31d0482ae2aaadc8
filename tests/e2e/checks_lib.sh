# What every end-to-end script shares (sourced after `set -eu`): the lab
# (lab_lib.sh), one tally of checks and the checks on scanned images.
#   e2e_lab              brings the lab up in this namespace (lab_init) and
#                        exports a private SANE configuration (SANE_CONFIG_DIR)
#                        and the built library's directory; OUT is a fresh
#                        directory for the pages
#   ok [MESSAGE]         counts a passed check (and prints "ok: MESSAGE")
#   bad MESSAGE          counts a failed check and prints "FAIL: MESSAGE"
#   check WHAT COMMAND...
#                        runs COMMAND: passed when it succeeds
#   check_image FILE DPI W_MM H_MM X_MM Y_MM
#                        the image's size is within 1 % + 2 px of the area at
#                        that resolution, and its top-left corner lies within
#                        1.5 mm of X_MM,Y_MM on the simulated bed
#   check_bilevel WHAT BW_FILE GREY_FILE
#                        the black-and-white page is the grey page thresholded
#   same_pixels A B      two PNM files hold the same image (headers may differ)
#   finish               prints "N passed, M failed" and exits with the verdict
# A script that ends without finish (a lab step failed under set -e) prints
# its tally so far and fails.

. "$(dirname "${BASH_SOURCE[0]}")/lab_lib.sh"

pass=0 fail=0
E2E_FINISHED=
E2E_CLEANUP=  # a command the script wants run at exit, after the lab's cleanup

e2e_exit() {
  local rc=$?
  if [ -z "$E2E_FINISHED" ]; then
    echo "FAIL: stopped early (status $rc); $pass passed, $fail failed"
    [ "$rc" != 0 ] || rc=1
  fi
  lab_cleanup
  [ -z "$E2E_CLEANUP" ] || $E2E_CLEANUP || true
  exit "$rc"
}
trap e2e_exit EXIT

e2e_lab() {
  lab_init
  SANE_CONFIG_DIR=$(lab_sane_config)
  export SANE_CONFIG_DIR LD_LIBRARY_PATH=$ORVELA_LIBDIR
  OUT=$LAB_RUN/out
  mkdir -p "$OUT"
}

ok() {
  pass=$((pass + 1))
  [ $# = 0 ] || echo "ok: $*"
}
bad() {
  echo "FAIL: $*"
  fail=$((fail + 1))
}

check() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}

check_image() {
  local r
  if ! r=$("$LAB_BIN/image_check" "$1" "$2"); then
    bad "$1 unreadable (fewer lines than announced?)"
    return 0
  fi
  if python3 - "$r" "$2" "$3" "$4" "$5" "$6" <<'PY'; then ok; else bad "$1: $r (want ${3}x${4} mm at $5,$6 mm, $2 dpi)"; fi
import sys
facts = dict(kv.split("=") for kv in sys.argv[1].split())
dpi, w_mm, h_mm, x_mm, y_mm = map(float, sys.argv[2:7])
w, h = map(int, facts["size"].split("x"))
for got, mm in ((w, w_mm), (h, h_mm)):
    want = mm * dpi / 25.4
    if abs(got - want) > want * 0.01 + 2:
        sys.exit(1)
if facts["position"] == "none":
    sys.exit(1)
x, y = map(float, facts["position"].split(","))
sys.exit(0 if abs(x - x_mm) <= 1.5 and abs(y - y_mm) <= 1.5 else 1)
PY
}

check_bilevel() {
  local r
  r=$("$LAB_BIN/image_check" --bilevel "$2" "$3") || true
  if [ "$r" != "${r#mismatches=0 of }" ]; then ok; else bad "$1: $2 against the grey page $3: $r"; fi
}

same_pixels() {
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
from PIL import Image
a, b = (Image.open(p) for p in sys.argv[1:3])
if a.size != b.size or a.mode != b.mode:
    sys.exit("%s %s against %s %s" % (a.mode, a.size, b.mode, b.size))
if a.tobytes() != b.tobytes():
    sys.exit("same size, different pixels")
PY
}

finish() {
  E2E_FINISHED=1
  echo "$pass passed, $fail failed"
  [ "$fail" = 0 ] && exit 0
  exit 1
}
