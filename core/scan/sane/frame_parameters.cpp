#include "core/scan/sane/frame_parameters.h"

#include <cmath>

void compute_frame_parameters(orvela_scanner_t* s) {
    const double r = s->val[OPT_RESOLUTION].w;
    const double width_mm = s->val[OPT_WIDTH].w / 65536.0;
    const double height_mm = s->val[OPT_HEIGHT].w / 65536.0;
    // Saturating conversions: the option values are not checked. An area
    // turned inside out (a negative width or height) is an empty frame, not a
    // negative count that the bytes-per-line products would overflow with.
    auto to_int = [](double v) {
        return v >= 2147483647.0 ? 2147483647 : v <= 0.0 ? 0 : static_cast<SANE_Int>(std::trunc(v));
    };
    SANE_Parameters& p = s->sane_params;
    p.last_frame = SANE_TRUE;
    p.pixels_per_line = to_int(width_mm * r / 25.4);
    p.lines = to_int(r * height_mm / 25.4);
    switch (s->user_params.ScanColor) {
        case Gray:
            p.depth = 8;
            p.format = SANE_FRAME_GRAY;
            p.bytes_per_line = p.pixels_per_line;
            break;
        case TrueColor:
            p.depth = 8;
            p.format = SANE_FRAME_RGB;
            p.bytes_per_line = p.pixels_per_line > 715827882 ? 2147483646 : 3 * p.pixels_per_line;
            break;
        case BlackWhite:
            p.depth = 1;
            p.format = SANE_FRAME_GRAY;
            p.bytes_per_line = p.pixels_per_line > 2147483600 ? 268435450 : (p.pixels_per_line + 5) / 8;
            p.pixels_per_line = 8 * p.bytes_per_line;
            break;
        default:
            break;
    }
}
