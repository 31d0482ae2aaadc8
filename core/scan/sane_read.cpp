// Frame delivery and cancel: the frame parameters, the page served from
// memory (no device I/O, no allocation), cancelling a job, and draining the
// sheets left in the feeder.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/debugtool.h"
#include "core/scan/job_section.h"
#include "core/scan/orvela_drv.h"
#include "core/scan/frame_lines.h"
#include "core/scan/sane_boundary.h"
#include "core/scan/sane_decode.h"
#include "core/scan/sane_entry_points.h"
#include "core/scan/sane_globals.h"
#include "core/scan/sane_handle.h"
#include "core/scan/sane_stream.h"

namespace {

// Image bytes at the start of line `line`, and how many of them there are;
// null when the page does not cover the line.
const unsigned char* line_source(const orvela_scanner_t* s, unsigned line, size_t bytes_per_line, size_t* count) {
    const ORVELA_IMAGE_RAW& img = s->dst_img;
    *count = 0;
    if (img.img_data == nullptr || !s->serves_image) return nullptr;
    unsigned row = 0;
    if (!line_row(s, img, line, bytes_per_line, &row, count)) return nullptr;
    return img.img_data + static_cast<size_t>(row) * img.img_width * img.img_channel;
}

void end_served_page(orvela_scanner_t* s) {
    s->page_read_lines = 0;
    s->line_offset = 0;
    s->page_completed = true;
    DBG_INFO("==%d Page end==\n", s->pageCount);
    release_page_buffers(s);
}

// Serves up to max_length bytes of the current line, from where the last call
// stopped; a line is complete when all its bytes went out.
SANE_Status serve_line(orvela_scanner_t* s, SANE_Byte* data, SANE_Int max_length, SANE_Int* length) {
    const size_t bpl = s->sane_params.bytes_per_line > 0 ? static_cast<size_t>(s->sane_params.bytes_per_line) : 0;
    if (bpl == 0 || s->sane_params.lines <= 0) {
        end_served_page(s);
        return SANE_STATUS_EOF;
    }
    const size_t offset = s->line_offset;
    if (s->page_read_lines == 0 && offset == 0) s->serves_image = serves_image_data(s);
    const size_t n = std::min(bpl - offset, static_cast<size_t>(max_length));
    const unsigned line = s->page_read_lines;

    size_t image_bytes = 0;
    const unsigned char* src = line_source(s, line, bpl, &image_bytes);
    copy_line_part(src, image_bytes, line, offset, n, data);

    *length = static_cast<SANE_Int>(n);
    s->line_offset = static_cast<unsigned>(offset + n);
    if (s->line_offset == bpl) {
        s->line_offset = 0;
        s->page_read_lines += 1;
        if (s->page_read_lines == static_cast<unsigned>(s->sane_params.lines)) end_served_page(s);
    }
    return SANE_STATUS_GOOD;
}

}  // namespace

bool serves_image_data(const orvela_scanner_t* s) {
    char bounded[sizeof s->device.deviceURI + 1] = {};
    memcpy(bounded, s->device.deviceURI, sizeof s->device.deviceURI);
    return strstr(bounded, "file://") != nullptr || strstr(bounded, "socket://") != nullptr ||
           strstr(bounded, "usb://") != nullptr;
}

bool line_row(const orvela_scanner_t* s, const ORVELA_IMAGE_RAW& page, unsigned line, size_t bytes_per_line,
              unsigned* row, size_t* count) {
    *count = 0;
    const bool doubled_rows = s->dev_params.xResolution == 1200 && s->dev_params.yResolution == 600;
    *row = doubled_rows ? line / 2 : line;
    if (*row >= page.img_height) return false;
    const size_t row_bytes = static_cast<size_t>(page.img_width) * page.img_channel;
    const size_t ppl = s->sane_params.pixels_per_line > 0 ? static_cast<size_t>(s->sane_params.pixels_per_line) : 0;
    const size_t n = page.img_width < ppl ? row_bytes : bytes_per_line;
    // Never more than the line, nor than the stored row (the options may have
    // changed since start).
    *count = std::min({n, bytes_per_line, row_bytes});
    return true;
}

void copy_line_part(const unsigned char* row, size_t image_bytes, unsigned line, size_t offset, size_t n,
                    unsigned char* out) {
    size_t copied = 0;
    if (row != nullptr && offset < image_bytes) {
        copied = std::min(n, image_bytes - offset);
        memcpy(out, row + offset, copied);
    }
    if (copied < n) memset(out + copied, (line % 8) < 4 ? 0x00 : 0xFF, n - copied);
}

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

void cancel_job_work(orvela_scanner_t* s) {
    DBG_INFO("job_completed=%d\n", s->job_completed);
    // Only a connection this job opened is closed: the transport is process
    // wide, and closing it for a handle that holds none would cut another's.
    if (!s->job_completed && s->device_held) {
        if (cancel_stream_page(s)) {
            // A streaming page on the way: aborted and drained from where
            // its pull stopped, unlocked, closed.
        } else if (s->user_params.ScanSource == ScanSource_ADF && s->pageCount > 0) {
            Drv_cancel();
            Drv_close();
        } else {
            Drv_close();
        }
        s->device_held = false;
    }
    s->page_read_lines = 0;
    s->line_offset = 0;
    s->pageCount = 0;
    s->job_completed = false;
    release_page_buffers(s);
}

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
    // device work then). After an error of the streaming page, that error again.
    if (s->page_failure != SANE_STATUS_GOOD) return s->page_failure;
    if (s->page_completed) return SANE_STATUS_EOF;
    if (s->page_stream == nullptr) return serve_line(s, data, max_length, length);
    // The streaming page goes once its error is met (or at its end): the
    // status stays, lest a later read serve fill lines as the page.
    const SANE_Status status = stream_read(s, data, max_length, length);
    if (status != SANE_STATUS_GOOD && status != SANE_STATUS_EOF) s->page_failure = status;
    return status;
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

static void drv_cancelADFPages_body(orvela_scanner_t* s) {
    if (s == nullptr || s->user_params.ScanSource != ScanSource_ADF) return;
    DBG_INFO("Run into drv_cancelADFPages\n");
    job_section_claim(s);
    // A streaming page in the middle is pulled to its end; one whose pull
    // fails there was aborted, and the scanner released: the drain is over.
    if (!stop_stream_page(s)) {
        s->job_completed = true;
        job_section_release(s);
        return;
    }
    compute_device_request(s);
    // The drain asks for the sheets where the frontend placed them: no
    // centring, no mirroring.
    const double x_dpi = s->dev_params.xResolution;
    const double y_dpi = s->dev_params.yResolution;
    const double tl_x = s->val[OPT_TL_X].w / 65536.0;
    const double tl_y = s->val[OPT_TL_Y].w / 65536.0;
    s->dev_params.Left = static_cast<unsigned>(static_cast<int>(std::trunc(tl_x * x_dpi / 25.4)));
    s->dev_params.Top = static_cast<unsigned>(static_cast<int>(std::trunc(tl_y * y_dpi / 25.4)));

    if (s->job_completed) {
        if (s->device_held) Drv_close();
        s->device_held = false;
        job_section_release(s);
        return;
    }
    int fd = -1;
    if (page_file_acquire(kScanFilePath, 0, &s->job_canceled, &fd) == SCAN_STATUS_GOOD) {
        while (!s->job_completed) {
            if (Drv_get_adf_status() != STATUS_ADF_PAPER_EXIST) {
                s->job_completed = true;
                break;
            }
            if (Drv_start(s->dev_params) != SCAN_STATUS_GOOD) {
                s->job_completed = true;
                break;
            }
            if (Drv_scan2File(kScanFilePath, &s->job_canceled).scan_status != SCAN_STATUS_GOOD) {
                s->job_completed = true;
                break;
            }
            if (Drv_get_adf_status() != STATUS_ADF_PAPER_EXIST) {
                s->job_completed = true;
                DBG_INFO("sane_read ADF job end with no paper!\n");
            }
        }
        page_file_release(kScanFilePath, fd, false);
    } else {
        s->job_completed = true;
    }
    Drv_close();
    s->device_held = false;
    job_section_release(s);
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

void drv_cancelADFPages(orvela_scanner_t* s) {
    c_boundary::run("drv_cancelADFPages", [&] { drv_cancelADFPages_body(s); });
}

}  // extern "C"
