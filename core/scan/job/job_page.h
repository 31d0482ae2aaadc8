// The page of one start as the scan job sees it: the row pipeline
// (page/page_rows.h) over the device's page stream, and where reads take its
// rows from. The two deliveries differ only here:
//   whole page (the described way): start runs the pipeline to the page's
//     end while the bands arrive, writes them to the page file (locked for
//     the start, removed after a good decode), and keeps the rows; reads serve
//     them from memory, with no device I/O and no allocation;
//   streamed page: start returns once the device has accepted the scan, and
//     reads run the pipeline as far as their lines need, waiting for the
//     device only while it has nothing to give; no page file, a window of
//     rows.
// A page sees the job only through the job's public steps.
#pragma once

#include <sane/sane.h>

#include <cstddef>
#include <memory>
#include <optional>

#include "common/orvela_types.h"
#include "core/scan/driver/page_transfer.h"
#include "core/scan/job/scan_job.h"
#include "core/scan/page/page_rows.h"

// The device's page stream as the row pipeline's source.
class DevicePage final : public PageSource {
public:
    explicit DevicePage(orvela_drv::PageTransfer& transfer) : transfer_(transfer) {}

    Got read(unsigned char* into, size_t room, size_t* got, bool may_wait) override {
        *got = 0;
        if (transfer_.ended()) return Got::End;
        if (!may_wait) return Got::Wait;
        return from(transfer_.pull(into, room, got));
    }
    Got drain() override { return from(transfer_.drain()); }

private:
    static Got from(orvela_drv::PageTransfer::Result r) {
        using R = orvela_drv::PageTransfer::Result;
        return r == R::Data ? Got::Data : r == R::End ? Got::End : r == R::Cancelled ? Got::Cancelled : Got::Failed;
    }

    orvela_drv::PageTransfer& transfer_;
};

class JobPage {
public:
    enum class Rows {
        Ready,    // *row is the row a line shows (null: fill pattern only)
        Wait,     // nothing yet, and the read may not wait for the device
        Stopped,  // the page cannot give the row (stopped() says why)
    };

    explicit JobPage(PageDelivery delivery) : whole_(delivery == PageDelivery::WholePage) {}
    // A whole page already decoded (malloc'ed; the page frees it), served as it is.
    explicit JobPage(const ORVELA_IMAGE_RAW& decoded) : whole_(true), image_(decoded) {}
    JobPage(const JobPage&) = delete;
    JobPage& operator=(const JobPage&) = delete;
    ~JobPage();

    // Start: whether the machine has what the page needs (NO_MEM,
    // ACCESS_DENIED otherwise); before the device is opened; once it scans
    // (GOOD when reads may begin).
    SANE_Status check_resources(const ORVELA_ScanParam& request, SANE_Word resolution) const;
    SANE_Status prepare(ScanJob& job);
    SANE_Status receive(ScanJob& job);

    // Read: the stored row that frame line `line` shows, and how many of its
    // bytes; may_wait lets it wait for the device.
    Rows row_for_line(const FrameLines& frame, unsigned line, bool may_wait, const unsigned char** row, size_t* bytes);
    // Read, after a Stopped answer: the status, the job's bookkeeping done.
    SANE_Status stopped(ScanJob& job);
    // Read, after the last line went out: the rest of the page from the
    // device and how the page ended there. GOOD when it ended well.
    SANE_Status finish(ScanJob& job);

    // Whether the device has yet to report the end of this page to the job
    // (finish has not run): a start that gives the page up aborts its job.
    bool awaits_page_end() const { return !whole_ && !finished_; }
    // The page stream still on its way from the device (null when nothing of
    // this page is in flight), for an abort that drains from where it stopped.
    orvela_protocol::PagePull* in_flight();
    // Feeder drain: the rest of the page pulled and thrown away. False when
    // that failed: the job was aborted then.
    bool discard_rest(ScanJob& job);
    // The whole page in memory (null while the page streams).
    const ORVELA_IMAGE_RAW* image() const { return image_.img_data != nullptr ? &image_ : nullptr; }

private:
    bool open_rows(ScanJob& job);  // the pipeline over a transfer of the device's page
    SANE_Status receive_whole_page(ScanJob& job);
    // The decode's log lines, then its outcome, then (when it succeeded) the
    // rescale and packing's.
    void log_decode(bool succeeded);

    struct PageFileLock {  // the page file, locked for the start, given back on every way out
        PageFileLock() {}  // user-provided: std::optional sees it before JobPage is complete
        ~PageFileLock();
        int fd = -1;
        bool remove = false;
    };

    const bool whole_;
    std::optional<PageFileLock> page_file_;
    // Made in place (no allocation: once the device scans, the page can
    // always be pulled to its end). Declared in this order: the rows read
    // from the source, the source from the transfer.
    std::optional<orvela_drv::PageTransfer> transfer_;
    std::optional<DevicePage> source_;
    std::optional<PageRows> rows_;
    // The pipeline's log lines, logged where the page's story tells them:
    // after the device's end of the page and the job's close.
    PipelineLog log_;
    PageRows::Result stop_ = PageRows::Result::Ready;
    bool finished_ = false;
    ORVELA_IMAGE_RAW image_{};
};
