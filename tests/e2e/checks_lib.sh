# Tallies and image checks shared by the end-to-end scripts (sourced).
#   ok / bad MESSAGE       count a passed or failed check
#   check FILE DPI W_MM H_MM X_MM Y_MM
#                          the image's size is within 1 % + 2 px of the area
#                          at that resolution, and its top-left corner lies
#                          within 1.5 mm of X_MM,Y_MM on the simulated bed
#   finish                 prints "N passed, M failed" and exits with the verdict

pass=0 fail=0
ok() { pass=$((pass + 1)); }
bad() { echo "FAIL: $*"; fail=$((fail + 1)); }

check() {
  local r
  r=$("$LAB_BIN/image_check" "$1" "$2") || { bad "$1 unreadable (fewer lines than announced?)"; return; }
  python3 - "$r" "$2" "$3" "$4" "$5" "$6" <<'PY' && ok || bad "$1: $r (want ${3}x${4} mm at $5,$6 mm, $2 dpi)"
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

finish() {
  echo "$pass passed, $fail failed"
  [ "$fail" = 0 ]
  exit $?
}
