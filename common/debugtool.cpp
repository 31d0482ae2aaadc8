#include "common/debugtool.h"

#include <cstdarg>

extern "C" {

FILE* g_err_file = nullptr;
FILE* g_warn_file = nullptr;
FILE* g_info_file = nullptr;
int g_print2std = 0;

void px_dbg_start(FILE* err, FILE* warn, FILE* info) {
    if (err != nullptr) {
        g_err_file = err;
        g_warn_file = warn;
    }
    if (info != nullptr) g_info_file = info;
}

}  // extern "C"

namespace {

// Writes one message to `stream`; with no stream and g_print2std set, binds the
// level to `fallback` for later calls and writes nothing this time.
void log_to(FILE*& stream, FILE* fallback, const char* prefix, const char* file, int line,
            const char* format, va_list args) {
    if (stream != nullptr) {
        fprintf(stream, prefix, file, line);
        vfprintf(stream, format, args);
        fflush(stream);
    } else if (g_print2std != 0) {
        stream = fallback;
    }
}

}  // namespace

extern "C" {

void __DBG_INFO(const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_to(g_info_file, stdout, "INFO: File[ %s ], at Line[ %-5d ] : ", file, line, format, args);
    va_end(args);
}

void __DBG_WARN(const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_to(g_warn_file, stderr, "WARN: File[ %s ], at Line[ %-5d ] : ", file, line, format, args);
    va_end(args);
}

void __DBG_ERR(const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_to(g_err_file, stderr, "ERR : File[ %s ], at Line[ %-5d ] : ", file, line, format, args);
    va_end(args);
}

}  // extern "C"
