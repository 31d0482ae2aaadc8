#include "core/scan/sane_stream.h"

#include <algorithm>
#include <memory>
#include <new>

#include "common/debugtool.h"
#include "core/scan/frame_lines.h"
#include "core/scan/orvela_drv.h"
#include "core/scan/page_stream.h"
#include "core/scan/scan_job.h"

namespace {

// The page cannot go on while the device may still be sending it: the device
// is told to stop, the rest of the page is drained from where the pull
// stopped, and the scanner is unlocked and closed. The next start opens a new
// job.
void abort_job(orvela_scanner_t* s) {
    if (s->device_held && s->page_stream != nullptr) orvela_drv::cancel_page(&s->page_stream->pull());
    else if (s->device_held) Drv_cancel();
    s->device_held = false;
    s->pageCount = 0;
    s->job_completed = false;
    release_page_stream(s);
}

// The status a read returns for a page that stopped: `r` is what the page
// stream said.
SANE_Status page_stopped(orvela_scanner_t* s, PageStream::Result r) {
    PageStream* page = s->page_stream.get();
    switch (r) {
    case PageStream::Result::Cancelled:
        return SANE_STATUS_CANCELLED;  // the cancel's device work follows (cancel_job_work)
    case PageStream::Result::Ended: {
        // The device ended the page early: a jam or an opened cover, or a
        // page cut short. The job goes on or ends as after any page.
        const SANE_Status status = finish_page(s, page->end_result());
        release_page_stream(s);
        DBG_INFO("Page ended before its image\n");
        return status == SANE_STATUS_GOOD ? SANE_STATUS_IO_ERROR : status;
    }
    default: {
        const SANE_Status status = page->status();
        DBG_INFO("Page stream broken, aborting the page\n");
        abort_job(s);
        return status;
    }
    }
}

// The read after the frame's last line: the rest of the page, and the end of
// the page as the whole-page path has it at the end of start.
SANE_Status end_page(orvela_scanner_t* s) {
    const PageStream::Result r = s->page_stream->finish();
    if (r != PageStream::Result::Done) return page_stopped(s, r);
    const SANE_Status status = finish_page(s, s->page_stream->end_result());
    release_page_stream(s);
    if (status != SANE_STATUS_GOOD) return status;
    s->page_read_lines = 0;
    s->line_offset = 0;
    s->page_completed = true;
    DBG_INFO("==%d Page end==\n", s->pageCount);
    return SANE_STATUS_EOF;
}

// A page of the last start whose lines all went out (the frontend did not
// ask for the end) is ended as a read would end it: that decides whether the
// job goes on.
SANE_Status end_served_page(orvela_scanner_t* s) {
    if (s->page_stream == nullptr || s->sane_params.lines <= 0 ||
        s->page_read_lines < static_cast<unsigned>(s->sane_params.lines))
        return SANE_STATUS_GOOD;
    const SANE_Status status = end_page(s);
    return status == SANE_STATUS_EOF ? SANE_STATUS_GOOD : status;
}

}  // namespace

void release_page_stream(orvela_scanner_t* s) { s->page_stream.reset(); }

bool cancel_stream_page(orvela_scanner_t* s) {
    if (s->page_stream == nullptr || s->page_stream->pull().ended()) return false;
    orvela_drv::cancel_page(&s->page_stream->pull());
    return true;
}

bool stop_stream_page(orvela_scanner_t* s) {
    if (s->page_stream == nullptr) return true;
    // Pulled to its end like the sheets after it, so that the next command's
    // reply is the next thing to read.
    orvela_protocol::PagePull& pull = s->page_stream->pull();
    std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[orvela_drv::kBandBufferSize]);
    size_t got = 0;
    while (scratch != nullptr && !pull.ended()) {
        const orvela_protocol::PagePull::Result r = pull.pull(scratch.get(), orvela_drv::kBandBufferSize, &got);
        if (r == orvela_protocol::PagePull::Result::Failed || r == orvela_protocol::PagePull::Result::Cancelled) break;
    }
    if (pull.ended()) {
        release_page_stream(s);
        return true;
    }
    abort_job(s);
    return false;
}

SANE_Status run_stream_start(orvela_scanner_t* s) {
    SANE_Status status = end_served_page(s);
    if (status != SANE_STATUS_GOOD) return status;
    ORVELA_ScanParam d;
    if ((status = check_page_request(s, &d)) != SANE_STATUS_GOOD) return status;

    // The resources this path holds: rows and decoder state, not the page.
    const unsigned channels = d.ScanColor == TrueColor ? 3u : 1u;
    const SANE_Word resolution = s->val[OPT_RESOLUTION].w;
    const size_t need = PageStream::memory_estimate(d.widthPixel, channels, resolution, d.xResolution);
    if (IsLowofSystemMemory((need >> 20) + 1)) return SANE_STATUS_NO_MEM;

    // The start goes on: a page of the last start that the frontend left
    // unread is given up.
    if (s->page_stream != nullptr) abort_job(s);
    begin_page(s, d);

    if (!continuing_feeder_job(s)) begin_job(s);
    if (cancel_flag_load(s)) return SANE_STATUS_CANCELLED;

    const bool bilevel = s->user_params.ScanColor == BlackWhite && d.ScanColor == Gray;
    // No memory for the page: std::bad_alloc, SANE_STATUS_NO_MEM at the entry point.
    auto page = std::make_unique<PageStream>(&s->job_canceled, resolution, d.xResolution, d.yResolution, bilevel);
    if (!page->init()) return SANE_STATUS_NO_MEM;
    if ((status = open_job(s)) != SANE_STATUS_GOOD || (status = start_page(s)) != SANE_STATUS_GOOD) return status;
    s->page_stream.reset(page.release());
    compute_frame_parameters(s);
    return SANE_STATUS_GOOD;
}

SANE_Status stream_read(orvela_scanner_t* s, SANE_Byte* data, SANE_Int max_length, SANE_Int* length) {
    PageStream* page = s->page_stream.get();
    const size_t bpl = s->sane_params.bytes_per_line > 0 ? static_cast<size_t>(s->sane_params.bytes_per_line) : 0;
    const unsigned lines = s->sane_params.lines > 0 ? static_cast<unsigned>(s->sane_params.lines) : 0;
    if (bpl == 0 || s->page_read_lines >= lines) return end_page(s);
    if (s->page_read_lines == 0 && s->line_offset == 0) s->serves_image = serves_image_data(s);

    // Lines in order, as far as rows are at hand; the device is waited for
    // only while nothing has been served by this call.
    size_t served = 0;
    const auto room = static_cast<size_t>(max_length);
    while (served < room && s->page_read_lines < lines) {
        const unsigned line = s->page_read_lines;
        const unsigned char* row = nullptr;
        size_t image_bytes = 0;
        if (s->serves_image) {
            PageStream::Result r = page->is_open() ? PageStream::Result::Ready : page->open(served == 0);
            unsigned index = 0;
            if (r == PageStream::Result::Ready && line_row(s, page->shape(), line, bpl, &index, &image_bytes)) {
                while (r == PageStream::Result::Ready && page->rows_made() <= index)
                    r = page->next_row(served == 0, &row);
                row = page->last_row();
            }
            if (r == PageStream::Result::Wait) break;
            if (r != PageStream::Result::Ready && r != PageStream::Result::NoRow) {
                if (served > 0) break;  // these bytes first; the next read meets it again
                return page_stopped(s, r);
            }
        }
        const size_t offset = s->line_offset;
        const size_t n = std::min(bpl - offset, room - served);
        copy_line_part(row, image_bytes, line, offset, n, data + served);
        served += n;
        s->line_offset = static_cast<unsigned>(offset + n);
        if (s->line_offset == bpl) {
            s->line_offset = 0;
            s->page_read_lines += 1;
        }
    }
    *length = static_cast<SANE_Int>(served);
    return SANE_STATUS_GOOD;
}
