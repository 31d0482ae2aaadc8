// The entry points of a scan: sane_orvela_start (one page, the scan job's,
// job/scan_job.h), sane_orvela_get_parameters (the frame), sane_orvela_read
// (its lines) and sane_orvela_cancel (the end of a job at the frontend's
// word). Each hands the job a page order of the handle or asks it for lines.
#include "common/debugtool.h"
#include "core/scan/sane/handle_order.h"
#include "core/scan/sane/sane_boundary.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/sane/sane_handle.h"

extern "C" {

static SANE_Status sane_orvela_start_body(SANE_Handle handle) {
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr) return SANE_STATUS_INVAL;
    s->sane_params.last_frame = SANE_TRUE;
    return s->job.start(page_order(s));
}

static SANE_Status sane_orvela_get_parameters_body(SANE_Handle handle, SANE_Parameters* params) {
    DBG_INFO("Run into sane_get_parameters\n");
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr) return SANE_STATUS_INVAL;
    // From start to the page's end or a cancel, the frame that the reads
    // deliver; otherwise (and options set meanwhile, from the next start)
    // the options'.
    if (!s->job.frame_in_progress(&s->sane_params)) compute_frame_parameters(s);
    if (params != nullptr) *params = s->sane_params;
    DBG_INFO("resolution=%d\n", s->val[OPT_RESOLUTION].w);
    DBG_INFO("sane_params.pixels_per_line=%d\n", s->sane_params.pixels_per_line);
    DBG_INFO("sane_params.lines=%d\n", s->sane_params.lines);
    DBG_INFO("sane_params.bytes_per_line=%d\n", s->sane_params.bytes_per_line);
    DBG_INFO("sane_params.last_frame=%d\n", s->sane_params.last_frame);
    return SANE_STATUS_GOOD;
}

static SANE_Status sane_orvela_read_body(SANE_Handle handle, SANE_Byte* data, SANE_Int max_length, SANE_Int* length) {
    if (length == nullptr) return SANE_STATUS_INVAL;
    *length = 0;
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr || data == nullptr || max_length <= 0) return SANE_STATUS_INVAL;
    return s->job.read(data, max_length, length);
}

static void sane_orvela_cancel_body(SANE_Handle handle) {
    DBG_INFO("Run into sane_cancel!\n");
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr) return;
    s->job.cancel();
    DBG_INFO("Exit from sane_cancel!\n");
}

SANE_Status sane_orvela_start(SANE_Handle handle) {
    return sane_call("sane_orvela_start", [&] { return sane_orvela_start_body(handle); });
}

SANE_Status sane_orvela_get_parameters(SANE_Handle handle, SANE_Parameters* params) {
    return sane_call("sane_orvela_get_parameters", [&] { return sane_orvela_get_parameters_body(handle, params); });
}

SANE_Status sane_orvela_read(SANE_Handle handle, SANE_Byte* data, SANE_Int max_length, SANE_Int* length) {
    return sane_call("sane_orvela_read", [&] { return sane_orvela_read_body(handle, data, max_length, length); });
}

void sane_orvela_cancel(SANE_Handle handle) {
    c_boundary::run("sane_orvela_cancel", [&] { sane_orvela_cancel_body(handle); });
}

}  // extern "C"
