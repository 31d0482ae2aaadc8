#!/bin/bash
# Every function the library exports stops C++ exceptions before they reach
# its C caller: it is defined through the C boundary (common/c_boundary.h:
# c_boundary::call, c_boundary::run, or sane_call for the SANE entry points,
# named by its own name), or it is one of the functions below that cannot
# throw, and the list names only exported functions.
# usage: check_c_boundary.sh LIBRARY SOURCE_DIR
set -eu
lib=$1 src=$2

# No allocation and no call that can throw: plain arithmetic and table
# lookups (several on per-pixel or per-weight paths), constant answers, C
# library calls only, and the log, which the boundary itself writes through.
cannot_throw="
main TL px_dbg_start __DBG_INFO __DBG_WARN __DBG_ERR
InitThresholdTable CalcNewThreshold
MatchUSBProduct MatchNetProduct MatchNetModelName GetScannerDescription
BoxFilter BilinearFilter BicubicFilter CatmullRomFilter Lanczos3Filter BSplineFilter BlackmanFilter
sinc GetFilterWidth clamp inplace_swap ScaleDownPage
WeightsTableInit WeightsTableRelease WeightsTableGetWeight WeightsTableGetLeftBoundary WeightsTableGetRightBoundary
zoom zoomLineCompleted orvela_JpegLineCallback
Drv_init Drv_get_parameters Drv_read Drv_get_backend_error_code attach getScannerFromName
scanner_start scanner_stop ParameterConvert CurrentDeviceType PaserFromURI
sane_orvela_get_option_descriptor sane_orvela_set_io_mode sane_orvela_get_select_fd
IsLowofSystemMemory IsNoEnoughSpace IsOutOfScanRange
"

functions=$(nm -D --defined-only "$lib" | awk '$2 == "T" { sub(/@.*/, "", $3); print $3 }' | sort -u)
guarded=$(grep -rhoE '(c_boundary::(call|run)|sane_call)\("[A-Za-z_0-9]+"' "$src"/core "$src"/protocol "$src"/backend "$src"/common |
          sed -E 's/.*\("([^"]+)"/\1/' | sort -u)
failed=0
for f in $functions; do
  if ! grep -qx "$f" <<<"$guarded" && ! grep -qw -- "$f" <<<"$cannot_throw"; then
    echo "exported function $f is not defined through the C boundary"; failed=1
  fi
done
for f in $cannot_throw; do
  grep -qx -- "$f" <<<"$functions" || { echo "$f is listed as unable to throw but is not an exported function"; failed=1; }
  grep -qx -- "$f" <<<"$guarded" && { echo "$f is guarded and listed as unable to throw"; failed=1; }
done
for g in $guarded; do
  grep -qx -- "$g" <<<"$functions" || { echo "the boundary names $g, which is not an exported function"; failed=1; }
done
[ $failed = 0 ] && echo "$(wc -w <<<"$functions") exported functions: $(wc -w <<<"$guarded") through the C boundary, the rest unable to throw"
exit $failed
