#include "tools/discover/trace_option.h"

#include <cstdio>
#include <string>

#include "backend/wire_trace.h"

namespace orvela_discover {

bool start_trace(const char* path) {
    std::string why;
    if (wire_trace::trace_searches_to(path, &why)) return true;
    fprintf(stderr, "orvela-discover: -t %s: the trace file cannot be created%s%s\n", path, why.empty() ? "" : ": ",
            why.c_str());
    return false;
}

void end_trace() { wire_trace::stop_search_trace(); }

}  // namespace orvela_discover
