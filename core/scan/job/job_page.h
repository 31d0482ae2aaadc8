// The page of one start as the scan job sees it: what start asks of it, and
// where reads take its rows from. Two kinds: the whole page (whole_page.cpp),
// pulled, decoded and rescaled while start runs, and the streamed page
// (streamed_page.cpp), pulled and decoded while reads ask for rows.
#pragma once

#include <sane/sane.h>

#include <cstddef>

#include "common/orvela_types.h"
#include "core/scan/page/frame_lines.h"
#include "core/scan/sane/sane_handle.h"

namespace orvela_protocol {
class PagePull;
}

class JobPage {
public:
    enum class Rows {
        Ready,    // *row is the row a line shows (null: fill pattern only)
        Wait,     // nothing yet, and the read may not wait for the device
        Stopped,  // the page cannot give the row (stopped() says why)
    };

    virtual ~JobPage() = default;

    // Start, once the request is known: whether the machine has what the page
    // needs (NO_MEM, ACCESS_DENIED otherwise).
    virtual SANE_Status check_resources(const ORVELA_ScanParam& request, SANE_Word resolution) = 0;
    // Start, before the device is opened.
    virtual SANE_Status prepare(orvela_scanner_t* s) = 0;
    // Start, once the device scans: GOOD when reads may begin.
    virtual SANE_Status receive(orvela_scanner_t* s) = 0;

    // Read: the stored row that frame line `line` shows, and how many of its
    // bytes; may_wait lets it wait for the device.
    virtual Rows row_for_line(const FrameLines& frame, unsigned line, bool may_wait, const unsigned char** row,
                              size_t* bytes) = 0;
    // Read, after a Stopped answer: the status, the job's bookkeeping done.
    virtual SANE_Status stopped(orvela_scanner_t* s) = 0;
    // Read, after the last line went out: the rest of the page from the
    // device and how the page ended there. GOOD when it ended well.
    virtual SANE_Status finish(orvela_scanner_t* s) = 0;

    // Whether the device has yet to report the end of this page to the job
    // (finish has not run): a start that gives the page up aborts its job.
    virtual bool awaits_page_end() const { return false; }
    // The page stream still on its way from the device (null when nothing of
    // this page is in flight), for an abort that drains from where it stopped.
    virtual orvela_protocol::PagePull* in_flight() { return nullptr; }
    // Feeder drain: the rest of the page pulled and thrown away. False when
    // that failed: the job was aborted then.
    virtual bool discard_rest(orvela_scanner_t*) { return true; }
};

