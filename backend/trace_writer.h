// Writing out a device's trace once the device has closed, on a thread of its
// own: the close comes before the frontend has the page's end (the job
// unlocks and closes first), and naming a page's calls in hex takes a few
// milliseconds that the page need not wait for. One session is written at a
// time; the next open of a device waits for the last one (long done by
// then), as does the end of the process.
#pragma once

#include "backend/held_calls.h"
#include "backend/trace_file.h"
#include "backend/trace_session.h"

namespace wire_trace {

// One open device's trace: its file, the namer of its calls and the calls
// not yet named.
struct DeviceTrace {
    TraceOutput out;
    TraceSession session{out};
    HeldCalls held;
};

// Names the held calls of `trace` and closes its file, on the writer thread
// (here, when no thread can be had); takes `trace` over.
void write_out_later(DeviceTrace* trace);

// Waits for the last write_out_later; false when a file written out since
// the last call refused data (it has warned).
bool wait_written();

}  // namespace wire_trace
