// The streaming path of the scan job, switched on by the line "scan streaming
// on" in orvela.conf: start returns as soon as the device has accepted the
// scan, and each read serves what the page stream gives, waiting for the
// device only while it has nothing to give. No page file, no lock between
// processes, a few megabytes of rows instead of the page.
//
//   start   check_page_request, check memory for the buffers, begin_page,
//           begin_job, open_job, start_page ──► GOOD (the device is scanning)
//   read    lines from the rows of PageStream (page_stream.h); waits only
//           while no byte is ready; the read after the last line finishes
//           the page (finish_page: feeder check, job end) ──► EOF, or the
//           status the device reported there
//   fault   corrupt image or broken stream mid-page ──► abort, drain, unlock,
//           close ──► IO_ERROR; jam / cover open at the page's end header
//           ──► JAMMED / COVER_OPEN (the cancel closes, as on the whole-page path)
//   cancel  the read's wait ends within a slice (~100 ms) ──► CANCELLED;
//           cancel_job_work aborts and drains from where the pull stopped
#pragma once

#include <sane/sane.h>

#include "core/scan/sane_handle.h"

// sane_orvela_start of the streaming path, inside the job's device section.
SANE_Status run_stream_start(orvela_scanner_t* s);

// sane_orvela_read of a streaming page, inside the job's device section.
SANE_Status stream_read(orvela_scanner_t* s, SANE_Byte* data, SANE_Int max_length, SANE_Int* length);

// The device work of a cancel while a streaming page is still on the way:
// abort, drain from where the page stream stopped, unlock, close. False (and
// nothing done) when no such page is in flight.
bool cancel_stream_page(orvela_scanner_t* s);

// Pulls a streaming page still on the way to its end, throwing it away (the
// job keeps its lock and connection), and forgets it; for the feeder drain.
// False when the pull failed in the middle: the page was then aborted and
// drained, and the scanner unlocked and closed, since the rest of the page
// may still be on its way and no command can follow it.
bool stop_stream_page(orvela_scanner_t* s);
