#include "core/scan/driver/page_transfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "common/alloc_fault.h"
#include "common/debugtool.h"
#include "core/scan/driver/orvela_drv.h"
#include "protocol/scanner.h"

namespace orvela_drv {

namespace {

// Opens the page file like fopen(file, "wb+") would (created or emptied, read
// and write), but never through a symbolic link, private to the user when it
// is created, and closed on exec.
FILE* open_page_file(const char* file) {
    const int fd = open(file, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, "wb+");
    if (stream == nullptr) close(fd);
    return stream;
}

}  // namespace

PageTransfer::PageTransfer(const bool* cancel, CancelCheck check, const char* file)
    : cancel_(cancel),
      check_(check),
      pull_(check == CancelCheck::WhileWaiting ? cancel : nullptr),
      file_name_(file) {
    if (file == nullptr) return;
    DBG_INFO("Run into Drv_scan2File\n");
    if ((file_ = open_page_file(file)) != nullptr) return;
    DBG_INFO("Fail to create file %s\n", file);
    // Nothing is pulled into it, but the device is scanning: finish() tells
    // it to stop and drains the page, so the next command gets its own reply.
    stop_ = Result::Failed;
    file_failed_ = broken_ = true;
}

PageTransfer::~PageTransfer() {
    if (file_ != nullptr) fclose(file_);
}

bool PageTransfer::cancelled() const { return cancel_ != nullptr && __atomic_load_n(cancel_, __ATOMIC_ACQUIRE); }

PageTransfer::Result PageTransfer::pull(unsigned char* buffer, size_t capacity, size_t* got) {
    *got = 0;
    if (stop_ != Result::Data) return stop_;
    for (;;) {
        if (check_ == CancelCheck::BetweenRecords && !pull_.inside_record() && cancelled())
            return stop_ = Result::Cancelled;
        const Result r = pull_.pull(buffer, capacity, got);
        if (r == Result::Idle) continue;
        if (r == Result::Data) {
            if (file_ == nullptr || fwrite(buffer, 1, *got, file_) == *got) return r;
            DBG_INFO("Fail to write page file %s, aborting the page\n", file_name_);
            file_failed_ = broken_ = true;
            return stop_ = Result::Failed;
        }
        if (r == Result::End && file_ != nullptr && pull_.status().error_code == STATUS_OK)
            DBG_INFO(pull_.data_arrived() ? "Page End. adf status=0x%02X\n" : "Page End without data. adf status=0x%02X\n",
                     pull_.status().adfStatus);
        broken_ = r == Result::Failed;
        return stop_ = r;
    }
}

PageTransfer::Result PageTransfer::drain() {
    // Without memory for a band the page is still pulled to its end, in
    // smaller pieces: a command sent next must not meet the page's bands.
    unsigned char small[4096];
    std::unique_ptr<unsigned char[]> band(
        alloc_fault::fails(alloc_fault::DrainBand) ? nullptr : new (std::nothrow) unsigned char[kBandBufferSize]);
    unsigned char* buffer = band != nullptr ? band.get() : small;
    const size_t size = band != nullptr ? kBandBufferSize : sizeof small;
    size_t got = 0;
    Result r;
    while ((r = pull(buffer, size, &got)) == Result::Data) {
    }
    return r;
}

SCAN_RESULT PageTransfer::finish() {
    // Decided here: a cancel that comes while the rest of a broken page is
    // drained does not turn its I/O error into a cancel.
    const bool cancel = cancelled() || stop_ == Result::Cancelled;
    // The pull stopped inside the page: a band that did not arrive in time, a
    // stream out of step, or a page file that could not take a band (a full
    // disk). The device may still be sending the page: it is told to stop and
    // the rest is drained, from where the pull stopped (inside a band larger
    // than the buffer when the file could not take a piece of it), so that
    // the unlock that follows gets its own reply and the scanner is released.
    // On a closed connection the abort fails at once.
    if (broken_ && !cancel) orvela_protocol::abort_page(&pull_);
    // Data that cannot be flushed to the file is lost data.
    if (file_ != nullptr && fclose(file_) != 0) file_failed_ = true;
    file_ = nullptr;
    if (cancel || pull_.status().error_code == STATUS_SCANSTOPPED)
        return SCAN_RESULT{SCAN_STATUS_CANCELLED, STATUS_ADF_PAPER_EMPTY};
    if (stop_ == Result::End && pull_.status().error_code == STATUS_OK && !file_failed_)
        return SCAN_RESULT{SCAN_STATUS_GOOD, pull_.status().adfStatus};
    return SCAN_RESULT{SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY};
}

SCAN_RESULT PageTransfer::end_result() const {
    const ScanStatus& end = pull_.status();
    if (end.error_code == STATUS_OK) return SCAN_RESULT{SCAN_STATUS_GOOD, end.adfStatus};
    if (end.error_code == STATUS_SCANSTOPPED) return SCAN_RESULT{SCAN_STATUS_CANCELLED, STATUS_ADF_PAPER_EMPTY};
    return SCAN_RESULT{SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY};
}

}  // namespace orvela_drv
