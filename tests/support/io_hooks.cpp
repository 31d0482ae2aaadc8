#include "tests/support/io_hooks.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/debugtool.h"

LogCapture::LogCapture(Streams streams) : streams_(streams), file_(tmpfile()) {
    if (streams_ == Streams::Information) {
        saved_[0] = g_info_file;
        g_info_file = file_;
    } else {
        saved_[0] = g_warn_file;
        saved_[1] = g_err_file;
        g_warn_file = g_err_file = file_;
    }
}

LogCapture::~LogCapture() {
    if (streams_ == Streams::Information) {
        g_info_file = saved_[0];
    } else {
        g_warn_file = saved_[0];
        g_err_file = saved_[1];
    }
    if (file_ != nullptr) fclose(file_);
}

std::string LogCapture::text() const {
    std::string out;
    if (file_ == nullptr) return out;
    fflush(file_);
    // pread leaves the stream's position alone, so a writer on another
    // thread goes on appending.
    char buf[4096];
    ssize_t n;
    while ((n = pread(fileno(file_), buf, sizeof buf, static_cast<off_t>(out.size()))) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

size_t LogCapture::count(const std::string& s) const {
    const std::string t = text();
    size_t n = 0;
    for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + s.size())) ++n;
    return n;
}

bool LogCapture::wait_for(const std::string& s, size_t times, int ms) const {
    for (int waited = 0; waited < ms; waited += 10) {
        if (count(s) >= times) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return count(s) >= times;
}

void LogCapture::clear() {
    if (file_ != nullptr && ftruncate(fileno(file_), 0) == 0) rewind(file_);
}
