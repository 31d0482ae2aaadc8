// sane_orvela_start: one page per call (the scan job, job/scan_job.h). The
// page is delivered whole, or streamed with "scan streaming on" in
// orvela.conf.
#include "common/orvela_config.h"
#include "core/scan/job/job_section.h"
#include "core/scan/job/scan_job.h"
#include "core/scan/sane/sane_boundary.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/sane/sane_handle.h"

extern "C" {

static SANE_Status sane_orvela_start_body(SANE_Handle handle) {
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr) return SANE_STATUS_INVAL;
    JobSectionHold section(s);
    const PageDelivery delivery =
        orvela_config::current().scan_streaming ? PageDelivery::Streaming : PageDelivery::WholePage;
    SANE_Status status = start_job_page(s, delivery);
    if (section.release() && status == SANE_STATUS_GOOD) status = SANE_STATUS_CANCELLED;
    return status;
}

SANE_Status sane_orvela_start(SANE_Handle handle) {
    return sane_call("sane_orvela_start", [&] { return sane_orvela_start_body(handle); });
}

}  // extern "C"
