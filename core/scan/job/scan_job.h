// The scan job of an open handle: its record and its one state machine for
// both ways of delivering a page. The whole-page way (the default) pulls,
// decodes and rescales the page before start returns; the streaming way
// ("scan streaming on" in orvela.conf) pulls and decodes it while reads ask
// for lines. Both run the same row pipeline (page/page_rows.h) and differ only
// in the JobPage that start makes (job_page.h); the start sequence, the read
// loop, the end of a page, cancel and the feeder drain are the same code.
//
//   page state (reads answer by it)
//
//           start                 read            the last line went out
//   None ──────────► Ready ─────────────► Serving ───── and the page ended ────► Ended
//     ▲                │                     │          well (end_page)         reads: EOF
//     │                │  a read meets an    │
//     │                └── error (device,  ──┤
//     │                    corrupt page,     ▼
//     │                    broken stream)  Failed    reads: the same status, no bytes
//     │
//     └── every start that passes its checks; a start refused by them leaves
//         the last page as it was; one that fails after them ends in Failed
//         with its status.
//   None: nothing started yet, or a start on its way; reads: EOF.
//   An empty frame goes from Ready to Ended at its first read.
//   drain_feeder: a streamed page whose rest it throws away goes to Failed
//   (CANCELLED); a page already in memory stays readable.
//   Cancelled: cancel, from any state; reads: CANCELLED.
//
//   job phase: Idle ──open──► Running ──the job's last page, its device closed──► Completed
//              (cancel, an abort, a cancelled page: back to Idle; a start after
//              Completed opens a new job, unless the job gives no more pages)
//
//   start: check_page_request → page.check_resources → give up the last page
//   (abort a stream still in flight) → begin_page → begin_job (new job) →
//   page.prepare → open_job → start_page → page.receive ──► Ready
//
// Start, read, the feeder drain and close hold the job's section while they
// make device calls or touch the page; a cancel that finds it held sets the
// cancel flag and leaves its device work to the holder (JobSection below).
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <memory>

#include "common/orvela_types.h"
#include "core/scan/job/page_order.h"

class JobPage;
// Deletes a page where its type is complete (job_page.cpp).
struct JobPageDelete {
    void operator()(JobPage* page) const;
};

// What reads of the current page get (see the picture above).
enum class PageState { None, Ready, Serving, Ended, Failed, Cancelled };

// Where the job stands with the device (see the picture above).
enum class JobPhase { Idle, Running, Completed };

// The handle's fields that show the job's state to callers that read the
// described record: written whenever a call leaves the job.
struct JobView {
    ORVELA_IMAGE_RAW* src_img = nullptr;  // a page decoded, not served (orvela_sane_decompress)
    ORVELA_IMAGE_RAW* dst_img = nullptr;  // the page as served (none while streaming)
    unsigned* page_read_lines = nullptr;
    bool* job_completed = nullptr;
    bool* page_completed = nullptr;
    bool* job_canceled = nullptr;
    unsigned* pageCount = nullptr;
    ORVELA_ScanParam* dev_params = nullptr;
};

class ScanJob {
public:
    ScanJob();
    ScanJob(const ScanJob&) = delete;
    ScanJob& operator=(const ScanJob&) = delete;
    ~ScanJob();
    void show_in(const JobView& view) { view_ = view; }

    // sane_orvela_start: one page.
    SANE_Status start(const PageOrder& order);
    // sane_orvela_read: up to max_length bytes of the frame's lines.
    SANE_Status read(SANE_Byte* data, SANE_Int max_length, SANE_Int* length);
    // sane_orvela_cancel, from any thread.
    void cancel();
    // sane_orvela_close: a job that still holds the device lets it go.
    void close();
    // drv_cancelADFPages: the sheets left in the feeder pulled and thrown away.
    void drain_feeder(const PageOrder& order);
    // A decoded page (malloc'ed; the job frees it) is served by the next
    // reads as `order` asks (tests and the benchmark).
    void serve_decoded_page(const ORVELA_IMAGE_RAW& page, const PageOrder& order);
    // orvela_sane_decompress: `decoded` (malloc'ed; the job frees it) takes
    // the last start's place, as a page decoded, not served.
    void take_decoded_page(const ORVELA_IMAGE_RAW& decoded);

    // For the page of a start (job_page.h).
    const PageOrder& order() const { return order_; }
    const ORVELA_ScanParam& request() const { return request_; }
    const bool* cancel_flag() const { return &cancel_; }
    bool cancelled() const { return __atomic_load_n(&cancel_, __ATOMIC_SEQ_CST); }
    // The end of a page pulled from the device (`result` as Drv_scan2File
    // gives it): its status, the feeder check after the sheet, and the end of
    // the job when the feeder is empty or the source is not the feeder. GOOD
    // when the page is to be served; the page is counted then.
    SANE_Status finish_page(const SCAN_RESULT& result);
    // The page cannot go on while the device may still be sending it: the
    // device is told to stop, the rest of the page drained from where its
    // pull stopped, the scanner unlocked and closed; a new job comes next.
    void abort();

    PageState page_state() const { return page_state_; }
    // From a start to its page's end or a cancel: the frame the reads
    // deliver, as its start announced it (options set meanwhile apply from
    // the next start). False at other times.
    bool frame_in_progress(SANE_Parameters* params);

private:
    SANE_Status start_page_of(const PageOrder& order, std::unique_ptr<JobPage> page, bool* began);
    SANE_Status serve_lines(SANE_Byte* data, SANE_Int max_length, SANE_Int* length);
    SANE_Status end_page();
    SANE_Status give_up_page(SANE_Status status);
    void enter(PageState state, SANE_Status status = SANE_STATUS_GOOD);
    void cancel_work();
    void release_page();
    void publish();
    // job_steps.cpp: the steps of a start, and the feeder drain's.
    SANE_Status check_page_request(const PageOrder& order, ORVELA_ScanParam* request) const;
    void begin_page(const PageOrder& order, const ORVELA_ScanParam& request);
    bool continuing_feeder_job() const;
    void begin_job();
    SANE_Status open_job();
    SANE_Status start_page();
    SCAN_Status finish_job();
    void pull_remaining_sheets();
    // The section start, read, close and the drain hold.
    friend class JobSection;
    bool try_claim();
    void claim();
    bool release();

    std::unique_ptr<JobPage, JobPageDelete> page_;  // the page of the last start (null between pages)
    PageState page_state_ = PageState::None;
    SANE_Status page_status_ = SANE_STATUS_GOOD;  // of a Failed or Cancelled page
    unsigned read_lines_ = 0;                     // lines of the page served
    size_t line_offset_ = 0;                      // bytes of the current line served
    JobPhase phase_ = JobPhase::Idle;
    unsigned page_count_ = 0;  // pages scanned in the job
    PageOrder order_;          // of the last start
    ORVELA_ScanParam request_{};
    // Crossing threads. The cancel flag is set by cancel, possibly from
    // another thread, and polled by the transfers through a plain bool*:
    // every access is atomic.
    bool cancel_ = false;
    std::atomic<bool> cancel_pending_{false};  // a cancel left its device work to the section's holder
    std::atomic<bool> section_busy_{false};
    JobView view_;
};

// The job's section held for one call's work (see above); released on every
// way out (an exception too), so that the handle stays usable.
class JobSection {
public:
    static constexpr bool kTryOnly = false;
    // Waits for the section, or (kTryOnly) takes it only when it is free.
    explicit JobSection(ScanJob& job, bool wait = true);
    ~JobSection() {
        if (job_ != nullptr) job_->release();
    }
    JobSection(const JobSection&) = delete;
    JobSection& operator=(const JobSection&) = delete;

    explicit operator bool() const { return job_ != nullptr; }
    // Ends the hold; true when it ran the device work of a cancel.
    bool release();

private:
    ScanJob* job_;
};
