#include "common/debugtool.h"

#include <cstdarg>
#include <cstdlib>
#include <utility>

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

int g_stderr_level = 0;

constexpr int kErrorLevel = 1;
constexpr int kWarningLevel = 2;
constexpr int kInfoLevel = 3;

// `tag` names the level ("INFO", "WARN", "ERR "); the prefix's format is a
// literal (gcc 14's sanitizer builds took a format passed in for a null one).
void write_message(FILE* stream, const char* tag, const char* file, int line, const char* format,
                   va_list args) {
    fprintf(stream, "%s: File[ %s ], at Line[ %-5d ] : ", tag, file, line);
    vfprintf(stream, format, args);
    fflush(stream);
}

// Writes one message to `stream`; with no stream and g_print2std set, binds the
// level to `fallback` for later calls and writes nothing this time. Standard
// error also gets it when the SANE debug level asks for `level`.
void log_to(FILE*& stream, FILE* fallback, int level, const char* tag, const char* file, int line,
            const char* format, va_list args) {
    if (g_stderr_level >= level && stream != stderr) {
        va_list copy;
        va_copy(copy, args);
        write_message(stderr, tag, file, line, format, copy);
        va_end(copy);
    }
    if (stream != nullptr) {
        write_message(stream, tag, file, line, format, args);
    } else if (g_print2std != 0) {
        stream = fallback;
    }
}

}  // namespace

void dbg_set_stderr_level(int level) { g_stderr_level = level; }

bool dbg_info_enabled() { return g_info_file != nullptr || g_print2std != 0 || g_stderr_level >= kInfoLevel; }

void LogHold::info(const char* file, int line, const char* format, ...) {
    if (!dbg_info_enabled()) return;
    if (held_.size() >= kMaxHeld) {
        ++dropped_;
        return;
    }
    va_list args, copy;
    va_start(args, format);
    va_copy(copy, args);
    char small[256];
    const int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    try {
        std::string text;
        if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
            text.assign(small, static_cast<size_t>(n));
        } else if (n >= 0) {
            text.resize(static_cast<size_t>(n));
            vsnprintf(text.data(), text.size() + 1, format, args);
        }
        held_.push_back(Message{file, line, std::move(text)});
    } catch (...) {  // no memory: the message is lost, not the caller's work
        ++dropped_;
    }
    va_end(args);
}

void LogHold::release() {
    for (const Message& m : held_) __DBG_INFO(m.file, m.line, "%s", m.text.c_str());
    if (dropped_ > 0) DBG_INFO("(%zu more log lines not kept)\n", dropped_);
    clear();
}

int dbg_level_from_environment() {
    const char* value = getenv("SANE_DEBUG_ORVELA");
    if (value == nullptr) return 0;
    char* end = nullptr;
    const long level = strtol(value, &end, 10);
    if (end == value || level < 0) return 0;
    return level > 255 ? 255 : static_cast<int>(level);
}

extern "C" {

void __DBG_INFO(const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_to(g_info_file, stdout, kInfoLevel, "INFO", file, line, format, args);
    va_end(args);
}

void __DBG_WARN(const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_to(g_warn_file, stderr, kWarningLevel, "WARN", file, line, format, args);
    va_end(args);
}

void __DBG_ERR(const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_to(g_err_file, stderr, kErrorLevel, "ERR ", file, line, format, args);
    va_end(args);
}

}  // extern "C"
