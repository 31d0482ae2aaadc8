// -t FILE: the search's trace written to FILE.
#pragma once

namespace orvela_discover {

// Directs the search's trace (its SNMP datagrams, both ways) to the new file
// `path`, made as every trace file is (0600, never over an existing file nor
// through a symlink); false, said on standard error, when it cannot be made.
bool start_trace(const char* path);
// Ends and closes the trace, if any.
void end_trace();

}  // namespace orvela_discover
