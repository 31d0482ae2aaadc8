// One page pulled from the device: its data in pieces, each also appended to
// the page file when there is one, up to the end header. Drv_scan2File is a
// transfer drained into the page file; the page path reads its pieces into
// the decoder (whole page: with the page file; streaming: without). drain()
// is the one loop that pulls a page to its end.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/orvela_types.h"
#include "protocol/page_pull.h"

namespace orvela_drv {

class PageTransfer {
public:
    // When the cancel flag is looked at: before every header, the stream
    // read record by record (the page file pull), or while a read waits for
    // the device (streaming: a wait ends at once, the abort drains from where
    // the read stopped).
    enum class CancelCheck { BetweenRecords, WhileWaiting };
    using Result = orvela_protocol::PagePull::Result;

    // `file`: the page file, created or emptied, that the data also goes to
    // (null: none); when it cannot be created nothing is pulled (Failed) and
    // finish() stops the page. The cancel flag may be set by another thread.
    PageTransfer(const bool* cancel, CancelCheck check, const char* file = nullptr);
    PageTransfer(const PageTransfer&) = delete;
    PageTransfer& operator=(const PageTransfer&) = delete;
    ~PageTransfer();

    // The next piece of page data (Data: *got bytes), End, Failed (a broken
    // stream, a page file that cannot take the piece) or Cancelled, which
    // then stays the answer; headers that carry nothing are skipped.
    Result pull(unsigned char* buffer, size_t capacity, size_t* got);
    // Pulls the rest of the page up to its end header and throws it away
    // (into the page file as well): End, or what stopped it.
    Result drain();

    // The page file pull's end, as Drv_scan2File reports it: a page that
    // stopped while the device may still send it is told to stop and drained
    // (not after a cancel: the cancel's own work does that), the file closed;
    // CANCELLED for a cancel or a page the device stopped, GOOD with the
    // feeder byte of a complete page, IO_ERROR otherwise.
    SCAN_RESULT finish();
    // How the device ended the page (after End), as the streamed page sees it.
    SCAN_RESULT end_result() const;

    bool ended() const { return pull_.ended(); }
    // The page stream, for an abort that drains from where it stopped.
    orvela_protocol::PagePull& stream() { return pull_; }

private:
    bool cancelled() const;

    const bool* cancel_;
    CancelCheck check_;
    orvela_protocol::PagePull pull_;
    const char* file_name_;
    FILE* file_ = nullptr;
    Result stop_ = Result::Data;  // End, Failed or Cancelled once the pull stopped
    bool file_failed_ = false;
    bool broken_ = false;  // the stream stopped inside the page
};

}  // namespace orvela_drv
