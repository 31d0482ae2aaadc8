// -t FILE: the search's trace written to FILE.
#pragma once

namespace orvela_discover {

// Directs the search's trace to `path`; false (said on standard error) when
// that cannot be done and the tool should stop.
bool start_trace(const char* path);
// Ends and closes the trace, if any.
void end_trace();

}  // namespace orvela_discover
