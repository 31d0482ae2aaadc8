// Diagnostic log: three levelled streams (information, warning, error), each
// message prefixed with the calling source file and line, flushed at once.
#pragma once

#include <cstdio>

extern "C" {

extern FILE* g_err_file;
extern FILE* g_warn_file;
extern FILE* g_info_file;
extern int g_print2std;

// Sets the error and warning streams (only when err is non-null) and the
// information stream (only when info is non-null).
void px_dbg_start(FILE* err, FILE* warn, FILE* info);

void __DBG_INFO(const char* file, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
void __DBG_WARN(const char* file, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
void __DBG_ERR(const char* file, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // extern "C"

// Every call site in the backend logs at the informational level through this.
#define DBG_INFO(...) __DBG_INFO(__FILE__, __LINE__, __VA_ARGS__)
