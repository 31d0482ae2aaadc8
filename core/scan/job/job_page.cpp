#include "core/scan/job/job_page.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "common/debugtool.h"
#include "core/scan/job/page_request.h"
#include "core/scan/page/page_file.h"

namespace {

// How long a start waits for the page file while another scan holds it.
constexpr int kPageFileWaitSeconds = 120;

// The row of a page of `page`'s shape (img_width, img_height, img_channel)
// that frame line `line` shows, and how many of its bytes: never more than
// the line, nor than the stored row; false when the page does not cover the
// line.
bool line_row(const FrameLines& frame, const ORVELA_IMAGE_RAW& page, unsigned line, unsigned* row, size_t* count) {
    *count = 0;
    *row = frame.doubled_rows ? line / 2 : line;
    if (*row >= page.img_height) return false;
    const size_t row_bytes = static_cast<size_t>(page.img_width) * page.img_channel;
    const size_t n = page.img_width < frame.pixels_per_line ? row_bytes : frame.bytes_per_line;
    *count = std::min({n, frame.bytes_per_line, row_bytes});
    return true;
}

}  // namespace

JobPage::PageFileLock::~PageFileLock() { page_file_release(kScanFilePath, fd, remove); }

JobPage::~JobPage() { free(image_.img_data); }

void JobPageDelete::operator()(JobPage* page) const { delete page; }

SANE_Status JobPage::check_resources(const ORVELA_ScanParam& request, SANE_Word resolution) const {
    const uint32_t channels = request.ScanColor == Color ? 3u : 1u;
    if (!whole_) {
        // The rows and the decoder's state, not the page.
        const size_t need = PageRows::memory_estimate(request.widthPixel, channels, resolution, request.xResolution);
        return IsLowofSystemMemory((need >> 20) + 1) ? SANE_STATUS_NO_MEM : SANE_STATUS_GOOD;
    }
    const uint32_t need = (request.widthPixel * request.heightPixel * channels) >> 20;
    if (IsLowofSystemMemory(need)) return SANE_STATUS_NO_MEM;
    if (IsNoEnoughSpace("/tmp", need)) return SANE_STATUS_ACCESS_DENIED;
    return SANE_STATUS_GOOD;
}

bool JobPage::open_rows(ScanJob& job) {
    const ORVELA_ScanParam& request = job.request();
    transfer_.emplace(job.cancel_flag(),
                      whole_ ? orvela_drv::PageTransfer::CancelCheck::BetweenRecords
                             : orvela_drv::PageTransfer::CancelCheck::WhileWaiting,
                      whole_ ? kScanFilePath : nullptr);
    source_.emplace(*transfer_);
    rows_.emplace(*source_, job.order().resolution, DeviceTier{request.xResolution, request.yResolution},
                  packs_bilevel(job.order()));
    rows_->hold_log(&log_);
    return rows_->init();
}

void JobPage::log_decode(bool succeeded) {
    log_.decode.release();
    DBG_INFO(succeeded ? "jpeg decompress success!\n" : "jpeg decompress fail!\n");
    if (succeeded) log_.image.release();
    log_.image.clear();
}

SANE_Status JobPage::prepare(ScanJob& job) {
    // No memory for the pipeline: std::bad_alloc, SANE_STATUS_NO_MEM at the
    // entry point.
    if (!whole_) return open_rows(job) ? SANE_STATUS_GOOD : SANE_STATUS_NO_MEM;
    // Only one scan at a time writes the page file, in this process or any
    // other of this user's; a second one waits for it (a cancel ends the wait).
    const SCAN_Status status =
        page_file_acquire(kScanFilePath, kPageFileWaitSeconds, job.cancel_flag(), &page_file_.emplace().fd);
    return status == SCAN_STATUS_CANCELLED ? SANE_STATUS_CANCELLED : static_cast<SANE_Status>(status);
}

SANE_Status JobPage::receive(ScanJob& job) {
    if (!whole_) return SANE_STATUS_GOOD;
    const SANE_Status status = receive_whole_page(job);
    // The page is in memory: the pipeline, its transfer and the page file's
    // lock go with the start.
    rows_.reset();
    source_.reset();
    transfer_.reset();
    page_file_.reset();
    if (status != SANE_STATUS_GOOD) {
        free(image_.img_data);
        image_ = ORVELA_IMAGE_RAW{};
    }
    return status;
}

SANE_Status JobPage::receive_whole_page(ScanJob& job) {
    // The device scans: whatever fails from here on (memory too), the page
    // is pulled to the device's end of page, into the page file, before the
    // job goes on, so that the next command meets no band of it.
    SANE_Status decoded = SANE_STATUS_IO_ERROR;
    try {
        decoded = open_rows(job) ? read_whole_page(*rows_, &image_) : rows_->status();
    } catch (const std::bad_alloc&) {
        decoded = SANE_STATUS_NO_MEM;
    } catch (...) {
        decoded = SANE_STATUS_IO_ERROR;
    }
    if (!transfer_.has_value()) return SANE_STATUS_IO_ERROR;  // not reached: made in place
    transfer_->drain();
    const SANE_Status status = job.finish_page(transfer_->finish());
    if (status != SANE_STATUS_GOOD) return status;
    // The decode is told of here, after the page's end and the job's close.
    // A page decoded to its end whose rescale or packing failed (no memory,
    // no usable size) was decoded well.
    const bool succeeded = rows_.has_value() && rows_->decoded() && decoded != SANE_STATUS_CANCELLED;
    log_decode(succeeded);
    if (!succeeded) return decoded != SANE_STATUS_GOOD ? decoded : SANE_STATUS_IO_ERROR;  // the page file stays
    page_file_->remove = true;
    return decoded;
}

JobPage::Rows JobPage::row_for_line(const FrameLines& frame, unsigned line, bool may_wait, const unsigned char** row,
                                    size_t* bytes) {
    unsigned index = 0;
    if (whole_) {
        if (image_.img_data != nullptr && line_row(frame, image_, line, &index, bytes))
            *row = image_.img_data + static_cast<size_t>(index) * image_.img_width * image_.img_channel;
        return Rows::Ready;
    }
    PageRows::Result r = rows_->is_open() ? PageRows::Result::Ready : rows_->open(may_wait);
    if (r == PageRows::Result::Ready && line_row(frame, rows_->shape(), line, &index, bytes)) {
        while (r == PageRows::Result::Ready && rows_->rows_made() <= index) r = rows_->next_row(may_wait, row);
        *row = rows_->last_row();
    }
    if (r == PageRows::Result::Wait) return Rows::Wait;
    if (r != PageRows::Result::Ready && r != PageRows::Result::NoRow) {
        stop_ = r;
        return Rows::Stopped;
    }
    return Rows::Ready;
}

SANE_Status JobPage::stopped(ScanJob& job) {
    switch (stop_) {
    case PageRows::Result::Cancelled:
        return SANE_STATUS_CANCELLED;  // the cancel's device work follows
    case PageRows::Result::Ended: {
        // The device ended the page early: a jam or an opened cover, or a
        // page cut short. The job goes on or ends as after any page.
        DBG_INFO("Page ended before its image\n");
        const SANE_Status status = job.finish_page(transfer_->end_result());
        if (status != SANE_STATUS_GOOD) return status;
        log_decode(false);
        return SANE_STATUS_IO_ERROR;
    }
    default: {
        const SANE_Status status = rows_->status();
        DBG_INFO("Page stream broken, aborting the page\n");
        job.abort();
        // A decode that failed is told of; one stopped by the rescale or
        // packing did not run to its end: its lines, and no outcome.
        if (!rows_->image_step_failed()) {
            log_decode(false);
        } else {
            log_.decode.release();
            log_.image.release();
        }
        return status;
    }
    }
}

SANE_Status JobPage::finish(ScanJob& job) {
    // The device's end of a whole page was handled by start.
    if (whole_) return SANE_STATUS_GOOD;
    finished_ = true;
    stop_ = rows_->finish();
    if (stop_ != PageRows::Result::Done) return stopped(job);
    const SANE_Status status = job.finish_page(transfer_->end_result());
    if (status == SANE_STATUS_GOOD) log_decode(true);
    return status;
}

orvela_protocol::PagePull* JobPage::in_flight() {
    return transfer_.has_value() && !transfer_->ended() ? &transfer_->stream() : nullptr;
}

bool JobPage::discard_rest(ScanJob& job) {
    if (in_flight() == nullptr) return true;
    // Pulled to its end like the sheets after it, so that the next command's
    // reply is the next thing to read.
    if (transfer_->drain() == orvela_drv::PageTransfer::Result::End) return true;
    job.abort();
    return false;
}
