// The scan job of an open handle: one state machine for both ways of
// delivering a page. The whole-page way (the default) pulls, decodes and
// rescales the page before start returns; the streaming way ("scan streaming
// on" in orvela.conf) pulls and decodes it while reads ask for lines. They
// differ only in the JobPage that start makes (job_page.h); the start
// sequence, the read loop, the end of a page, cancel and the feeder drain are
// the same code.
//
//   page_state of the handle (reads answer by it)
//
//           start                 read            the last line went out
//   None ──────────► Ready ─────────────► Serving ───── and the page ended ────► Ended
//     ▲                │                     │          well (end_page)         reads: EOF
//     │                │  a read meets an    │
//     │                └── error (device,  ──┤
//     │                    corrupt page,     ▼
//     │                    broken stream)  Failed    reads: the same status, no bytes
//     │
//     └── begin_page: every start that passes its checks; a start refused by
//         them leaves the last page as it was; one that fails after them ends
//         in Failed with its status.
//   None: nothing started yet, or a start on its way; reads: EOF.
//   An empty frame goes from Ready to Ended at its first read.
//   drv_cancelADFPages: a streamed page whose rest it throws away goes to
//   Failed (CANCELLED); a page already in memory stays readable.
//   Cancelled: sane_cancel, from any state; reads: CANCELLED.
//
//   start_job_page   check_page_request → page.check_resources
//                    → give up the last page (abort a stream still in flight)
//                    → begin_page → begin_job (new job) → page.prepare
//                    → open_job → start_page → page.receive ──► Ready
//   serve_lines      rows from page.row_for_line into frame lines; the read
//                    that sends the last line ends the page (end_page)
//   end_page         page.finish: the rest of the page, its end header, the
//                    feeder check and the job's end ──► Ended or Failed
//   cancel_job_work  abort a page in flight / close, job counters reset
//   drv_cancelADFPages  (feeder_drain.cpp) the rest of the page and the sheets
//                    left in the feeder pulled and thrown away, then close
#pragma once

#include <sane/sane.h>

#include "core/scan/sane/sane_handle.h"

// Which way a start delivers its page.
enum class PageDelivery { WholePage, Streaming };

// sane_orvela_start inside the job's device section.
SANE_Status start_job_page(orvela_scanner_t* s, PageDelivery delivery);

// sane_orvela_read inside the job's device section: up to max_length bytes of
// the frame's lines, from where the last read stopped.
SANE_Status serve_lines(orvela_scanner_t* s, SANE_Byte* data, SANE_Int max_length, SANE_Int* length);

// The decoded page in dst_img becomes the page that reads serve (state Ready).
void serve_decoded_page(orvela_scanner_t* s);

// The page stops being served: later reads answer `status` (a failed start
// or read, the feeder drain after it threw away the rest of a streamed page).
SANE_Status give_up_page(orvela_scanner_t* s, SANE_Status status);

// The device work and bookkeeping of a cancel (the flag is already set).
void cancel_job_work(orvela_scanner_t* s);

// The page cannot go on while the device may still be sending it: the device
// is told to stop, the rest of the page is drained from where its pull
// stopped, and the scanner is unlocked and closed. The next start opens a new
// job.
void abort_job(orvela_scanner_t* s);

// Frees the page of the last start: its JobPage and its buffers (src_img and
// dst_img, which may share one buffer); both image pointers are cleared.
// Only with the state to match: reads in Ready or Serving need the page.
void release_page(orvela_scanner_t* s);
