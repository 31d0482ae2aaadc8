// Library life cycle (sane_entry.cpp): the log stream and debug level that
// initialisation sets up.
#pragma once

#include <cstdio>

extern "C" {
extern FILE* debug_file;        // the log stream, when logging is on
extern int sanei_debug_orvela;  // the SANE_DEBUG_ORVELA level of the last init
}
