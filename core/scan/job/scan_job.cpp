#include "core/scan/job/scan_job.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include "common/debugtool.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/job/job_page.h"

namespace {

// Bytes [offset, offset + n) of frame line `line` into out: the first
// `image_bytes` of the line from `row`, the rest fill pattern (0x00 on lines
// 0-3 of every 8, 0xFF on lines 4-7).
void copy_line_part(const unsigned char* row, size_t image_bytes, unsigned line, size_t offset, size_t n,
                    unsigned char* out) {
    size_t copied = 0;
    if (row != nullptr && offset < image_bytes) {
        copied = std::min(n, image_bytes - offset);
        memcpy(out, row + offset, copied);
    }
    if (copied < n) memset(out + copied, (line % 8) < 4 ? 0x00 : 0xFF, n - copied);
}

}  // namespace

ScanJob::ScanJob() = default;

ScanJob::~ScanJob() { release_page(); }

void ScanJob::enter(PageState state, SANE_Status status) {
    page_state_ = state;
    page_status_ = status;
}

void ScanJob::publish() {
    if (view_.dst_img == nullptr) return;
    // A page decoded from a file (take_decoded_page) is shown as decoded,
    // not served.
    const ORVELA_IMAGE_RAW* image = page_ != nullptr ? page_->image() : nullptr;
    const bool served = page_state_ != PageState::None;
    *view_.dst_img = image != nullptr && served ? *image : ORVELA_IMAGE_RAW{};
    *view_.src_img = image != nullptr && !served ? *image : ORVELA_IMAGE_RAW{};
    *view_.page_read_lines = read_lines_;
    *view_.job_completed = phase_ == JobPhase::Completed;
    *view_.page_completed = page_state_ == PageState::Ended;
    *view_.job_canceled = cancelled();
    *view_.pageCount = page_count_;
    *view_.dev_params = request_;
}

void ScanJob::release_page() { page_.reset(); }

// The page's last line went out: the device's end of the page is taken in
// (streaming) and the page is over.
SANE_Status ScanJob::end_page() {
    const SANE_Status status = page_ != nullptr ? page_->finish(*this) : SANE_STATUS_GOOD;
    if (status != SANE_STATUS_GOOD) return give_up_page(status);
    read_lines_ = 0;
    line_offset_ = 0;
    enter(PageState::Ended);
    DBG_INFO("==%d Page end==\n", page_count_);
    release_page();
    return SANE_STATUS_GOOD;
}

// The page stops here with `status`: nothing of it is served any more. A
// streamed page that a cancel stopped in the middle stays for the cancel's
// device work, which drains it from where its pull stopped and releases it.
SANE_Status ScanJob::give_up_page(SANE_Status status) {
    const bool left_to_cancel = status == SANE_STATUS_CANCELLED && page_ != nullptr && page_->in_flight() != nullptr;
    if (!left_to_cancel) release_page();
    enter(status == SANE_STATUS_CANCELLED && cancelled() ? PageState::Cancelled : PageState::Failed, status);
    return status;
}

// The start sequence; *began tells whether it got past its checks (and left
// the last page).
SANE_Status ScanJob::start_page_of(const PageOrder& order, std::unique_ptr<JobPage> page, bool* began) {
    ORVELA_ScanParam request;
    SANE_Status status = check_page_request(order, &request);
    if (status != SANE_STATUS_GOOD) return status;
    if ((status = page->check_resources(request, order.resolution)) != SANE_STATUS_GOOD) return status;

    // The start goes on: a page of the last start whose end the device has
    // yet to report is given up with its job.
    if (page_ != nullptr && page_->awaits_page_end()) abort();
    begin_page(order, request);
    enter(PageState::None);
    *began = true;
    if (!continuing_feeder_job()) begin_job();
    if (cancelled()) return SANE_STATUS_CANCELLED;

    if ((status = page->prepare(*this)) != SANE_STATUS_GOOD || (status = open_job()) != SANE_STATUS_GOOD ||
        (status = start_page()) != SANE_STATUS_GOOD)
        return status;
    page_.reset(page.release());
    if ((status = page_->receive(*this)) != SANE_STATUS_GOOD) return status;
    enter(PageState::Ready);
    return SANE_STATUS_GOOD;
}

SANE_Status ScanJob::start(const PageOrder& order) {
    JobSection section(*this);
    bool began = false;
    SANE_Status status;
    try {
        status = start_page_of(order, std::make_unique<JobPage>(order.delivery), &began);
    } catch (const std::bad_alloc&) {
        status = SANE_STATUS_NO_MEM;  // as the entry point would answer, with the state to match
    } catch (...) {
        status = SANE_STATUS_IO_ERROR;
    }
    // A start refused by its checks leaves the last page as it was.
    if (status != SANE_STATUS_GOOD && began) status = give_up_page(status);
    // A cancel that came while the start ran: its device work is done now.
    if (section.release() && status == SANE_STATUS_GOOD) status = SANE_STATUS_CANCELLED;
    return status;
}

SANE_Status ScanJob::read(SANE_Byte* data, SANE_Int max_length, SANE_Int* length) {
    if (cancelled()) return SANE_STATUS_CANCELLED;
    // The section is held elsewhere only by a cancel that has set the flag.
    JobSection section(*this, JobSection::kTryOnly);
    if (!section) return SANE_STATUS_CANCELLED;
    // The hold ends with the call (a cancel that came meanwhile does its
    // device work then).
    return serve_lines(data, max_length, length);
}

SANE_Status ScanJob::serve_lines(SANE_Byte* data, SANE_Int max_length, SANE_Int* length) {
    switch (page_state_) {
    case PageState::None:  // nothing started: nothing to serve
    case PageState::Ended:
        return SANE_STATUS_EOF;
    case PageState::Failed:
    case PageState::Cancelled:
        return page_status_;
    case PageState::Ready:
    case PageState::Serving:
        break;
    }
    const FrameLines& frame = order_.frame;
    if (frame.bytes_per_line == 0 || read_lines_ >= frame.lines) {
        const SANE_Status status = end_page();
        return status == SANE_STATUS_GOOD ? SANE_STATUS_EOF : status;
    }
    enter(PageState::Serving);

    // Lines in order, as far as rows are at hand; the device is waited for
    // only while nothing has been served by this call. A whole page serves
    // one line a call (the part of it that fits, for a buffer smaller than a
    // line); a streamed page as many lines as the buffer takes.
    const bool one_line = order_.delivery == PageDelivery::WholePage;
    size_t served = 0;
    const auto room = static_cast<size_t>(max_length);
    while (served < room && read_lines_ < frame.lines) {
        const unsigned line = read_lines_;
        const unsigned char* row = nullptr;
        size_t image_bytes = 0;
        if (order_.serves_image) {
            const JobPage::Rows r = page_->row_for_line(frame, line, served == 0, &row, &image_bytes);
            if (r == JobPage::Rows::Wait) break;
            if (r == JobPage::Rows::Stopped) {
                if (served > 0) break;  // these bytes first; the next read meets it again
                return give_up_page(page_->stopped(*this));
            }
        }
        const size_t n = std::min(frame.bytes_per_line - line_offset_, room - served);
        copy_line_part(row, image_bytes, line, line_offset_, n, data + served);
        served += n;
        line_offset_ += n;
        if (line_offset_ == frame.bytes_per_line) {
            line_offset_ = 0;
            read_lines_ += 1;
            if (one_line) break;
        }
    }
    *length = static_cast<SANE_Int>(served);
    // The read that sends the last line ends the page; a failure there is
    // the next read's answer.
    if (read_lines_ == frame.lines) end_page();
    return SANE_STATUS_GOOD;
}

bool ScanJob::frame_in_progress(SANE_Parameters* params) {
    // A cancel at work holds the section: the page is over.
    JobSection section(*this, JobSection::kTryOnly);
    if (!section || (page_state_ != PageState::Ready && page_state_ != PageState::Serving)) return false;
    *params = order_.announced;
    return true;
}

void ScanJob::abort() {
    if (phase_ == JobPhase::Running) orvela_drv::cancel_page(page_ != nullptr ? page_->in_flight() : nullptr);
    phase_ = JobPhase::Idle;
    page_count_ = 0;
}

void ScanJob::cancel() {
    if (try_claim()) {
        // Nothing is running on the job. A job cancelled before stays as it
        // is until the next start.
        if (!cancelled()) {
            __atomic_store_n(&cancel_, true, __ATOMIC_SEQ_CST);
            cancel_work();
        }
        release();
        return;
    }
    // A start (or read) runs, on another thread or under this signal handler:
    // it does the device work as it leaves the section. The work is marked
    // before the flag is set, so that a job opening meanwhile (it clears the
    // flag, then looks for marked work) keeps the cancel.
    cancel_pending_.store(true);
    __atomic_store_n(&cancel_, true, __ATOMIC_SEQ_CST);
    if (try_claim()) {
        if (cancel_pending_.exchange(false)) cancel_work();
        release();
    }
}

void ScanJob::cancel_work() {
    DBG_INFO("job_completed=%d\n", phase_ == JobPhase::Completed);
    // Only a connection this job opened is closed: the transport is process
    // wide, and closing it for a job that holds none would cut another's.
    if (phase_ == JobPhase::Running) {
        orvela_protocol::PagePull* pull = page_ != nullptr ? page_->in_flight() : nullptr;
        if (pull != nullptr) {
            // A streamed page on the way: aborted and drained from where its
            // pull stopped, unlocked, closed.
            orvela_drv::cancel_page(pull);
        } else if (order_.source == ScanSource_ADF && page_count_ > 0) {
            Drv_cancel();
            Drv_close();
        } else {
            Drv_close();
        }
    }
    phase_ = JobPhase::Idle;
    read_lines_ = 0;
    line_offset_ = 0;
    page_count_ = 0;
    release_page();
    enter(PageState::Cancelled, SANE_STATUS_CANCELLED);
}

void ScanJob::close() {
    claim();
    if (phase_ == JobPhase::Running) {
        __atomic_store_n(&cancel_, true, __ATOMIC_SEQ_CST);
        cancel_work();
    }
    release_page();
}

void ScanJob::serve_decoded_page(const ORVELA_IMAGE_RAW& page, const PageOrder& order) {
    release_page();
    page_.reset(new JobPage(page));
    order_ = order;
    read_lines_ = 0;
    line_offset_ = 0;
    enter(PageState::Ready);
    publish();
}

void ScanJob::take_decoded_page(const ORVELA_IMAGE_RAW& decoded) {
    JobSection section(*this);
    if (page_ != nullptr && page_->awaits_page_end()) abort();  // as a start gives up its page
    page_.reset(new JobPage(decoded));
    enter(PageState::None);
}

JobSection::JobSection(ScanJob& job, bool wait) : job_(&job) {
    if (wait) job.claim();
    else if (!job.try_claim()) job_ = nullptr;
}

bool JobSection::release() { return std::exchange(job_, nullptr)->release(); }

bool ScanJob::try_claim() {
    bool expected = false;
    return section_busy_.compare_exchange_strong(expected, true);
}

void ScanJob::claim() {
    while (!try_claim()) {
        timespec t = {0, 1000000L};
        nanosleep(&t, nullptr);
    }
}

bool ScanJob::release() {
    bool handled = false;
    for (;;) {
        if (cancel_pending_.exchange(false)) {
            cancel_work();
            handled = true;
        }
        publish();
        section_busy_.store(false);
        // A cancel that found the section held just before it was released
        // is run here, unless a new holder took the section and will.
        if (!cancel_pending_.load() || !try_claim()) return handled;
    }
}
