// Diagnostic log: three levelled streams (information, warning, error), each
// message prefixed with the calling source file and line, flushed at once.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

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

// Whether information messages go anywhere (a stream, standard output on
// request, or standard error by the SANE debug level).
bool dbg_info_enabled();

// Information messages kept back to be logged later, where the story they
// tell belongs: the row pipeline decodes a page while it arrives, but its
// lines read after the page's end and the job's close. Each message keeps the
// file and line of its call. Nothing is formatted or kept while logging is
// off; a message that finds no memory, or more than kMaxHeld before it, is
// counted and told of at the release. One thread at a time.
class LogHold {
public:
    static constexpr size_t kMaxHeld = 256;
    void info(const char* file, int line, const char* format, ...) __attribute__((format(printf, 4, 5)));
    // Logs the held messages in order and forgets them.
    void release();
    void clear() {
        held_.clear();
        dropped_ = 0;
    }

private:
    struct Message {
        const char* file;
        int line;
        std::string text;
    };
    std::vector<Message> held_;
    size_t dropped_ = 0;
};

#define DBG_INFO(...) __DBG_INFO(__FILE__, __LINE__, __VA_ARGS__)
// To `hold` when there is one, else straight to the log.
#define DBG_HELD(hold, ...) \
    ((hold) != nullptr ? (hold)->info(__FILE__, __LINE__, __VA_ARGS__) : __DBG_INFO(__FILE__, __LINE__, __VA_ARGS__))
#define DBG_WARN(...) __DBG_WARN(__FILE__, __LINE__, __VA_ARGS__)
