#include "core/scan/sane/handle_order.h"

#include <cmath>
#include <cstring>

#include "common/orvela_config.h"
#include "core/scan/sane/sane_host.h"

namespace {

// Whether a device URI lets image data be served (otherwise a page is fill
// pattern only): it holds one of the three scheme words anywhere. The URI
// need not end in a NUL within its array.
bool uri_serves_image_data(const char* uri, size_t size) {
    const size_t length = strnlen(uri, size);
    for (const char* scheme : {"file://", "socket://", "usb://"})
        if (memmem(uri, length, scheme, strlen(scheme)) != nullptr) return true;
    return false;
}

}  // namespace

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

PageOrder page_order(orvela_scanner_t* s) {
    compute_frame_parameters(s);
    const SANE_Parameters& p = s->sane_params;
    PageOrder order;
    order.device = &s->device;
    order.resolution = s->val[OPT_RESOLUTION].w;
    order.source = s->user_params.ScanSource == ScanSource_ADF ? ScanSource_ADF : ScanSource_Flatbed;
    order.colour = static_cast<ColorModel>(s->user_params.ScanColor);
    order.tl_x = s->val[OPT_TL_X].w;
    order.tl_y = s->val[OPT_TL_Y].w;
    order.width = s->val[OPT_WIDTH].w;
    order.height = s->val[OPT_HEIGHT].w;
    order.placed_by_frontend = s->hasXYPositionFromApp;
    order.one_page_per_flatbed_job = host_is_efile_app();
    order.announced = p;
    order.frame.bytes_per_line = p.bytes_per_line > 0 ? static_cast<size_t>(p.bytes_per_line) : 0;
    order.frame.pixels_per_line = p.pixels_per_line > 0 ? static_cast<size_t>(p.pixels_per_line) : 0;
    order.frame.lines = p.lines > 0 ? static_cast<unsigned>(p.lines) : 0;
    // Above 600 dpi the device scans at 1200 x 600 dpi: every row shows twice.
    order.frame.doubled_rows = static_cast<unsigned>(order.resolution) > 600;
    order.serves_image = uri_serves_image_data(s->device.deviceURI, sizeof s->device.deviceURI);
    order.delivery = orvela_config::current().scan_streaming ? PageDelivery::Streaming : PageDelivery::WholePage;
    return order;
}

void show_job_in_handle(orvela_scanner_t* s) {
    s->job.show_in(JobView{&s->src_img, &s->dst_img, &s->page_read_lines, &s->job_completed, &s->page_completed,
                           &s->job_canceled, &s->pageCount, &s->dev_params});
}
