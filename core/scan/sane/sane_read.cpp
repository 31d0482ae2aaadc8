// sane_orvela_get_parameters, sane_orvela_read and sane_orvela_cancel: the
// frame, its lines (the scan job's read loop, job/scan_job.h) and the end of
// a job at the frontend's word.
#include "common/debugtool.h"
#include "core/scan/job/job_section.h"
#include "core/scan/job/scan_job.h"
#include "core/scan/sane/frame_parameters.h"
#include "core/scan/sane/sane_boundary.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/sane/sane_handle.h"

extern "C" {

static SANE_Status sane_orvela_get_parameters_body(SANE_Handle handle, SANE_Parameters* params) {
    DBG_INFO("Run into sane_get_parameters\n");
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr) return SANE_STATUS_INVAL;
    compute_frame_parameters(s);
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
    if (cancel_flag_load(s)) return SANE_STATUS_CANCELLED;
    // The section is held elsewhere only by a cancel that has set the flag.
    JobSectionHold section = JobSectionHold::try_claim(s);
    if (!section) return SANE_STATUS_CANCELLED;
    // The hold ends with the call (a cancel that came meanwhile does its
    // device work then).
    return serve_lines(s, data, max_length, length);
}

static void sane_orvela_cancel_body(SANE_Handle handle) {
    DBG_INFO("Run into sane_cancel!\n");
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr) return;
    if (job_section_try_claim(s)) {
        // Nothing is running on the handle. A job cancelled before stays as
        // it is until the next start.
        if (!cancel_flag_load(s)) {
            cancel_flag_store(s, true);
            cancel_job_work(s);
        }
        job_section_release(s);
    } else {
        // A start (or read) is running, on another thread or under this
        // signal handler: the flag first, so that a transfer stops at its next
        // header, even when the flag was still set from the previous job; the
        // device calls are left to the running call, which makes them as it
        // leaves the section.
        cancel_flag_store(s, true);
        s->cancel_pending.store(true);
        cancel_flag_store(s, true);  // over a job opening that cleared it meanwhile
        if (job_section_try_claim(s)) {
            if (s->cancel_pending.exchange(false)) cancel_job_work(s);
            job_section_release(s);
        }
    }
    DBG_INFO("Exit from sane_cancel!\n");
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
