// What the SANE front end exports for callers outside the backend and the
// scan path never calls: a fixed device record, and thin wrappers that take
// the handle around the job's area check, page file decode and feeder drain.
#include "core/scan/sane/exported_extras.h"

#include <cstdio>
#include <cstring>

#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "common/scanner_description.h"
#include "core/scan/job/page_request.h"
#include "core/scan/page/page_decode.h"
#include "core/scan/sane/handle_order.h"

extern "C" {

ORVELA_Scanner PaserFromURI(const char* /*deviceName*/) {
    ORVELA_Scanner device;
    memset(&device, 0, sizeof device);
    device.vendor_id = kOrvelaVendorId;
    device.product_id = 0x1006;
    device.interface = 0;
    snprintf(device.serial, sizeof device.serial, "%s", "OR0000000001");
    return device;
}

bool IsOutOfScanRange(orvela_scanner_t* s) { return area_out_of_range(page_order(s)); }

SCAN_Status orvela_sane_decompress(orvela_scanner_t* s, const char* filename) {
    return c_boundary::call("orvela_sane_decompress", SCAN_STATUS_IO_ERROR, SCAN_STATUS_NO_MEM, [&] {
        if (s == nullptr) return SCAN_STATUS_IO_ERROR;
        // The frame is bounded by the tier of the last page's request.
        ORVELA_IMAGE_RAW page{};
        const SCAN_Status status =
            decode_page_file(filename, {s->dev_params.xResolution, s->dev_params.yResolution}, &page);
        if (status == SCAN_STATUS_GOOD) s->job.take_decoded_page(page);
        return status;
    });
}

void drv_cancelADFPages(orvela_scanner_t* s) {
    c_boundary::run("drv_cancelADFPages", [&] {
        if (s == nullptr || s->user_params.ScanSource != ScanSource_ADF) return;
        DBG_INFO("Run into drv_cancelADFPages\n");
        s->job.drain_feeder(page_order(s));
    });
}

}  // extern "C"
