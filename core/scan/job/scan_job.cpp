#include "core/scan/job/scan_job.h"

#include <algorithm>
#include <new>
#include <utility>

#include "common/debugtool.h"
#include "core/scan/job/job_page.h"
#include "core/scan/job/job_steps.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/sane/frame_parameters.h"
#include "core/scan/job/streamed_page.h"
#include "core/scan/job/whole_page.h"
#include "core/scan/page/page_decode.h"

namespace {

void enter(orvela_scanner_t* s, PageState state, SANE_Status status = SANE_STATUS_GOOD) {
    s->page_state = state;
    s->page_status = status;
    s->page_completed = state == PageState::Ended;
}

// The page's last line went out: the device's end of the page is taken in
// (streaming) and the page is over.
SANE_Status end_page(orvela_scanner_t* s) {
    const SANE_Status status = s->page != nullptr ? s->page->finish(s) : SANE_STATUS_GOOD;
    if (status != SANE_STATUS_GOOD) return give_up_page(s, status);
    s->page_read_lines = 0;
    s->line_offset = 0;
    enter(s, PageState::Ended);
    DBG_INFO("==%d Page end==\n", s->pageCount);
    release_page(s);
    return SANE_STATUS_GOOD;
}

FrameLines frame_lines(const orvela_scanner_t* s) {
    FrameLines f;
    f.bytes_per_line = s->sane_params.bytes_per_line > 0 ? static_cast<size_t>(s->sane_params.bytes_per_line) : 0;
    f.pixels_per_line =
        s->sane_params.pixels_per_line > 0 ? static_cast<size_t>(s->sane_params.pixels_per_line) : 0;
    f.lines = s->sane_params.lines > 0 ? static_cast<unsigned>(s->sane_params.lines) : 0;
    f.doubled_rows = s->dev_params.xResolution == 1200 && s->dev_params.yResolution == 600;
    return f;
}

// The start sequence; *began tells whether it got past its checks (and left
// the last page).
SANE_Status start_page_of(orvela_scanner_t* s, std::unique_ptr<JobPage> page, bool* began) {
    ORVELA_ScanParam request;
    SANE_Status status = check_page_request(s, &request);
    if (status != SANE_STATUS_GOOD) return status;
    if ((status = page->check_resources(request, s->val[OPT_RESOLUTION].w)) != SANE_STATUS_GOOD) return status;

    // The start goes on: a page of the last start whose end the device has
    // yet to report is given up with its job.
    if (s->page != nullptr && s->page->awaits_page_end()) abort_job(s);
    begin_page(s, request);
    enter(s, PageState::None);
    *began = true;
    if (!continuing_feeder_job(s)) begin_job(s);
    if (cancel_flag_load(s)) return SANE_STATUS_CANCELLED;

    if ((status = page->prepare(s)) != SANE_STATUS_GOOD || (status = open_job(s)) != SANE_STATUS_GOOD ||
        (status = start_page(s)) != SANE_STATUS_GOOD)
        return status;
    s->page.reset(page.release());
    if ((status = s->page->receive(s)) != SANE_STATUS_GOOD) return status;
    enter(s, PageState::Ready);
    // Reads rely on the frame parameters; a frontend that reads without
    // asking for them first still gets the page's real line count.
    compute_frame_parameters(s);
    return SANE_STATUS_GOOD;
}

}  // namespace

// The page stops here with `status`: nothing of it is served any more. A
// streamed page that a cancel stopped in the middle stays for the cancel's
// device work, which drains it from where its pull stopped and releases it.
SANE_Status give_up_page(orvela_scanner_t* s, SANE_Status status) {
    const bool left_to_cancel =
        status == SANE_STATUS_CANCELLED && s->page != nullptr && s->page->in_flight() != nullptr;
    if (!left_to_cancel) release_page(s);
    const bool cancelled = status == SANE_STATUS_CANCELLED && cancel_flag_load(s);
    enter(s, cancelled ? PageState::Cancelled : PageState::Failed, status);
    return status;
}

void JobPageDelete::operator()(JobPage* page) const { std::default_delete<JobPage>()(page); }

SANE_Status start_job_page(orvela_scanner_t* s, PageDelivery delivery) {
    bool began = false;
    SANE_Status status;
    try {
        status =
            start_page_of(s, delivery == PageDelivery::Streaming ? make_streamed_page() : make_whole_page(), &began);
    } catch (const std::bad_alloc&) {
        status = SANE_STATUS_NO_MEM;  // as the entry point would answer, with the state to match
    } catch (...) {
        status = SANE_STATUS_IO_ERROR;
    }
    // A start refused by its checks leaves the last page as it was.
    return status != SANE_STATUS_GOOD && began ? give_up_page(s, status) : status;
}


void serve_decoded_page(orvela_scanner_t* s) {
    s->page.reset(make_decoded_page(&s->dst_img).release());
    s->page_read_lines = 0;
    s->line_offset = 0;
    enter(s, PageState::Ready);
}

SANE_Status serve_lines(orvela_scanner_t* s, SANE_Byte* data, SANE_Int max_length, SANE_Int* length) {
    switch (s->page_state) {
    case PageState::None:   // nothing started: nothing to serve
    case PageState::Ended:
        return SANE_STATUS_EOF;
    case PageState::Failed:
    case PageState::Cancelled:
        return s->page_status;
    case PageState::Ready:
    case PageState::Serving:
        break;
    }
    const FrameLines frame = frame_lines(s);
    if (frame.bytes_per_line == 0 || s->page_read_lines >= frame.lines) {
        const SANE_Status status = end_page(s);
        return status == SANE_STATUS_GOOD ? SANE_STATUS_EOF : status;
    }
    if (s->page_state == PageState::Ready) {
        s->serves_image = uri_serves_image_data(s->device.deviceURI, sizeof s->device.deviceURI);
        enter(s, PageState::Serving);
    }

    // Lines in order, as far as rows are at hand; the device is waited for
    // only while nothing has been served by this call.
    size_t served = 0;
    const auto room = static_cast<size_t>(max_length);
    while (served < room && s->page_read_lines < frame.lines) {
        const unsigned line = s->page_read_lines;
        const unsigned char* row = nullptr;
        size_t image_bytes = 0;
        if (s->serves_image) {
            const JobPage::Rows r = s->page->row_for_line(frame, line, served == 0, &row, &image_bytes);
            if (r == JobPage::Rows::Wait) break;
            if (r == JobPage::Rows::Stopped) {
                if (served > 0) break;  // these bytes first; the next read meets it again
                return give_up_page(s, s->page->stopped(s));
            }
        }
        const size_t offset = s->line_offset;
        const size_t n = std::min(frame.bytes_per_line - offset, room - served);
        copy_line_part(row, image_bytes, line, offset, n, data + served);
        served += n;
        s->line_offset = static_cast<unsigned>(offset + n);
        if (s->line_offset == frame.bytes_per_line) {
            s->line_offset = 0;
            s->page_read_lines += 1;
        }
    }
    *length = static_cast<SANE_Int>(served);
    // The read that sends the last line ends the page; a failure there is
    // the next read's answer.
    if (s->page_read_lines == frame.lines) end_page(s);
    return SANE_STATUS_GOOD;
}

void abort_job(orvela_scanner_t* s) {
    if (s->device_held) orvela_drv::cancel_page(s->page != nullptr ? s->page->in_flight() : nullptr);
    s->device_held = false;
    s->pageCount = 0;
    s->job_completed = false;
}

void cancel_job_work(orvela_scanner_t* s) {
    DBG_INFO("job_completed=%d\n", s->job_completed);
    // Only a connection this job opened is closed: the transport is process
    // wide, and closing it for a handle that holds none would cut another's.
    if (!s->job_completed && s->device_held) {
        orvela_protocol::PagePull* pull = s->page != nullptr ? s->page->in_flight() : nullptr;
        if (pull != nullptr) {
            // A streamed page on the way: aborted and drained from where its
            // pull stopped, unlocked, closed.
            orvela_drv::cancel_page(pull);
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
    release_page(s);
    enter(s, PageState::Cancelled, SANE_STATUS_CANCELLED);
}

void release_page(orvela_scanner_t* s) {
    s->page.reset();
    free_page_images(&s->src_img, &s->dst_img);
}
