#include "tests/support/io_hooks.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "backend/io_clock.h"
#include "common/debugtool.h"

namespace {

std::atomic<int64_t> g_time_ms{0};
std::mutex g_pauses_mutex;
std::vector<uint32_t> g_pauses;

}  // namespace

TestClock::TestClock(int64_t step_ms) {
    step_ms_ = step_ms;
    g_time_ms = 1000000;  // far from zero: nothing may read 0 as "unset"
    {
        std::lock_guard<std::mutex> lock(g_pauses_mutex);
        g_pauses.clear();
    }
    orvela_clock_hook = &TestClock::clock_hook;
    orvela_sleep_hook = &TestClock::sleep_hook;
}

TestClock::~TestClock() {
    orvela_clock_hook = nullptr;
    orvela_sleep_hook = nullptr;
}

int64_t TestClock::now() { return clock_hook(); }

int64_t TestClock::clock_hook() { return g_time_ms.fetch_add(step_ms_); }

void TestClock::sleep_hook(uint32_t microseconds) {
    {
        std::lock_guard<std::mutex> lock(g_pauses_mutex);
        g_pauses.push_back(microseconds);
    }
    g_time_ms += microseconds / 1000;
}

std::vector<uint32_t> TestClock::pauses() {
    std::lock_guard<std::mutex> lock(g_pauses_mutex);
    return g_pauses;
}

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
