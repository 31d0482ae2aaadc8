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

// Besides the three streams, messages can go to standard error by level, as
// SANE_DEBUG_<backend> asks of every SANE backend: 1 errors, 2 also warnings,
// 3 and more everything; 0 (the default) nothing.
void dbg_set_stderr_level(int level);
// The level that SANE_DEBUG_ORVELA asks for (0 when unset or not a number).
int dbg_level_from_environment();

#define DBG_INFO(...) __DBG_INFO(__FILE__, __LINE__, __VA_ARGS__)
#define DBG_WARN(...) __DBG_WARN(__FILE__, __LINE__, __VA_ARGS__)
