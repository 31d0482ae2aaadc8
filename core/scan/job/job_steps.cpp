// The steps of a start (scan_job.h puts them in order), the one place where
// the device's answers become SANE statuses, and the feeder drain
// (drv_cancelADFPages).
#include <algorithm>

#include "common/debugtool.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/job/job_page.h"
#include "core/scan/job/page_request.h"
#include "core/scan/job/scan_job.h"
#include "core/scan/page/page_file.h"

// Driver statuses reach the frontend unchanged where no mapping is given: the
// numbers must stay SANE's.
constexpr int kDriverStatuses[] = {SCAN_STATUS_GOOD, SCAN_STATUS_UNSUPPORTED, SCAN_STATUS_CANCELLED,
                                   SCAN_STATUS_DEVICE_BUSY, SCAN_STATUS_INVAL, SCAN_STATUS_EOF, SCAN_STATUS_JAMMED,
                                   SCAN_STATUS_NO_DOCS, SCAN_STATUS_COVER_OPEN, SCAN_STATUS_IO_ERROR,
                                   SCAN_STATUS_NO_MEM, SCAN_STATUS_ACCESS_DENIED};
constexpr int kSaneStatuses[] = {SANE_STATUS_GOOD, SANE_STATUS_UNSUPPORTED, SANE_STATUS_CANCELLED,
                                 SANE_STATUS_DEVICE_BUSY, SANE_STATUS_INVAL, SANE_STATUS_EOF, SANE_STATUS_JAMMED,
                                 SANE_STATUS_NO_DOCS, SANE_STATUS_COVER_OPEN, SANE_STATUS_IO_ERROR,
                                 SANE_STATUS_NO_MEM, SANE_STATUS_ACCESS_DENIED};
static_assert(std::ranges::equal(kDriverStatuses, kSaneStatuses));

namespace {

// Where in a job a device answer was given; each place maps it its own way.
enum class JobStep {
    Open,        // Drv_open: jammed, cover open, or busy for any other failure
    FirstSheet,  // the feeder before the first sheet (its STATUS_ADF)
    StartPage,   // Drv_start: the status as it is
    PageEnd,     // the page pull: feeder jam / cover open, cancelled, I/O error
    Close,       // Drv_close at the job's end: jammed, cover open, or busy
};

// The SANE status of a device answer at a step: `status` for the driver's
// result, `adf` for the feeder byte (FirstSheet, PageEnd).
SANE_Status sane_status_of(JobStep step, SCAN_Status status, STATUS_ADF adf = STATUS_ADF_PAPER_EXIST) {
    switch (step) {
    case JobStep::Open:
    case JobStep::Close:
        if (status == SCAN_STATUS_GOOD || status == SCAN_STATUS_JAMMED || status == SCAN_STATUS_COVER_OPEN)
            return static_cast<SANE_Status>(status);
        return SANE_STATUS_DEVICE_BUSY;
    case JobStep::FirstSheet:
        if (adf == STATUS_ADF_PAPER_EMPTY) return SANE_STATUS_NO_DOCS;
        if (adf == STATUS_ADF_COVER_OPEN) return SANE_STATUS_COVER_OPEN;
        if (adf == STATUS_ADF_JAM) return SANE_STATUS_JAMMED;
        return SANE_STATUS_GOOD;
    case JobStep::StartPage:
        return static_cast<SANE_Status>(status);
    case JobStep::PageEnd:
        if (adf == STATUS_ADF_JAM) return SANE_STATUS_JAMMED;
        if (adf == STATUS_ADF_COVER_OPEN) return SANE_STATUS_COVER_OPEN;
        if (status == SCAN_STATUS_GOOD || status == SCAN_STATUS_CANCELLED) return static_cast<SANE_Status>(status);
        return SANE_STATUS_IO_ERROR;
    }
    return SANE_STATUS_IO_ERROR;
}

}  // namespace

SANE_Status ScanJob::check_page_request(const PageOrder& order, ORVELA_ScanParam* request) const {
    DBG_INFO("Run into sane_start\n");
    // No resolution below one dot per inch makes a page. Above, nothing but
    // the memory the page takes limits it (a small area scans at any
    // resolution; too large a page is refused for want of memory).
    if (area_out_of_range(order) || order.resolution < 1) return SANE_STATUS_INVAL;
    // A finished job gives no more pages: the feeder's, and the flatbed's
    // under a host whose flatbed job is one page.
    const bool one_page_only = order.source == ScanSource_ADF ||
                               (order.source == ScanSource_Flatbed && order.one_page_per_flatbed_job);
    if (phase_ == JobPhase::Completed && one_page_only) return SANE_STATUS_NO_DOCS;
    *request = device_request(order);
    return SANE_STATUS_GOOD;
}

void ScanJob::begin_page(const PageOrder& order, const ORVELA_ScanParam& request) {
    read_lines_ = 0;
    line_offset_ = 0;
    // A page left from an earlier start is never served again.
    release_page();
    order_ = order;
    request_ = request;
}

bool ScanJob::continuing_feeder_job() const { return page_count_ > 0 && order_.source != ScanSource_Flatbed; }

void ScanJob::begin_job() {
    // A cancel of the previous job no longer applies, one made while this
    // start runs does (cancel marks its work before it sets the flag).
    __atomic_store_n(&cancel_, false, __ATOMIC_SEQ_CST);
    if (cancel_pending_.load()) __atomic_store_n(&cancel_, true, __ATOMIC_SEQ_CST);
    if (phase_ == JobPhase::Completed) phase_ = JobPhase::Idle;
}

SANE_Status ScanJob::open_job() {
    if (continuing_feeder_job()) return SANE_STATUS_GOOD;
    const SCAN_Status opened = Drv_open(*order_.device);
    // Only a failed connect leaves nothing open; every other answer leaves
    // the connection for cancel to close.
    phase_ = opened != SCAN_STATUS_ACCESS_DENIED ? JobPhase::Running : JobPhase::Idle;
    if (opened != SCAN_STATUS_GOOD) return sane_status_of(JobStep::Open, opened);
    if (order_.source == ScanSource_ADF && page_count_ == 0)
        return sane_status_of(JobStep::FirstSheet, SCAN_STATUS_GOOD, Drv_get_adf_status());
    return SANE_STATUS_GOOD;
}

SANE_Status ScanJob::start_page() {
    if (cancelled()) return SANE_STATUS_CANCELLED;
    return sane_status_of(JobStep::StartPage, Drv_start(request_));
}

SANE_Status ScanJob::finish_page(const SCAN_RESULT& result) {
    const SANE_Status page = sane_status_of(JobStep::PageEnd, result.scan_status, result.adf_status);
    if (page != SANE_STATUS_GOOD && page != SANE_STATUS_CANCELLED) return page;
    const bool page_cancelled = page == SANE_STATUS_CANCELLED;
    if (page_cancelled && cancelled()) {
        Drv_cancel();
        phase_ = JobPhase::Idle;
    }

    bool completed = order_.source != ScanSource_ADF;
    if (!completed) {
        // A closed connection (after a cancel) has nothing more to say.
        if (result.adf_status == STATUS_ADF_PAPER_EMPTY && phase_ == JobPhase::Running &&
            Drv_get_adf_status() == STATUS_ADF_PAPER_EMPTY) {
            completed = true;
            DBG_INFO("sane_read ADF job end with no paper!\n");
        }
        if (!completed && page_cancelled) return SANE_STATUS_CANCELLED;
    }
    if (completed) {
        const SANE_Status closed = sane_status_of(JobStep::Close, finish_job());
        if (closed == SANE_STATUS_JAMMED || closed == SANE_STATUS_COVER_OPEN) return closed;
        if (page_cancelled) return SANE_STATUS_CANCELLED;
        if (closed != SANE_STATUS_GOOD) return closed;
    }
    page_count_ += 1;
    return SANE_STATUS_GOOD;
}

SCAN_Status ScanJob::finish_job() {
    const bool held = phase_ == JobPhase::Running;
    phase_ = JobPhase::Completed;
    return held ? Drv_close() : SCAN_STATUS_GOOD;
}

// Scans and discards sheets until the feeder is empty or a step fails.
void ScanJob::pull_remaining_sheets() {
    int fd = -1;
    if (page_file_acquire(kScanFilePath, 0, &cancel_, &fd) != SCAN_STATUS_GOOD) return;
    for (;;) {
        if (Drv_get_adf_status() != STATUS_ADF_PAPER_EXIST || Drv_start(request_) != SCAN_STATUS_GOOD ||
            Drv_scan2File(kScanFilePath, &cancel_).scan_status != SCAN_STATUS_GOOD)
            break;
        if (Drv_get_adf_status() != STATUS_ADF_PAPER_EXIST) {
            DBG_INFO("sane_read ADF job end with no paper!\n");
            break;
        }
    }
    page_file_release(kScanFilePath, fd, false);
}

void ScanJob::drain_feeder(const PageOrder& order) {
    JobSection section(*this);
    // A streamed page in the middle is pulled to its end and thrown away
    // (its later reads answer CANCELLED); one whose pull fails there was
    // aborted, and the scanner released: the drain is over. A page already in
    // memory stays readable.
    if (page_ != nullptr && page_->in_flight() != nullptr) {
        const bool page_pulled = page_->discard_rest(*this);
        give_up_page(SANE_STATUS_CANCELLED);
        if (!page_pulled) {
            phase_ = JobPhase::Completed;
            return;
        }
    }
    // The drain asks for the sheets where the frontend placed them: no
    // centring, no mirroring.
    request_ = device_request(order, Placement::AsPlaced);
    if (phase_ != JobPhase::Completed) pull_remaining_sheets();
    if (phase_ == JobPhase::Running) Drv_close();
    phase_ = JobPhase::Completed;
}
