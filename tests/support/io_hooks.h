// Test doubles for the backend's clock, pauses and log.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "backend/io_clock.h"

// While alive: the I/O clock runs `speed` times faster than real time (so a
// 30-second time-out passes in 30/speed seconds of real time, still waiting on
// the socket in between), and every pause is recorded and returns at once.
class FastClock {
public:
    explicit FastClock(int speed = 1) {
        speed_ = speed;
        sleeps().clear();
        orvela_clock_hook = &FastClock::now;
        orvela_sleep_hook = &FastClock::sleep;
    }
    ~FastClock() {
        orvela_clock_hook = nullptr;
        orvela_sleep_hook = nullptr;
    }
    FastClock(const FastClock&) = delete;
    FastClock& operator=(const FastClock&) = delete;

    static std::vector<uint32_t>& sleeps() {
        static std::vector<uint32_t> recorded;
        return recorded;
    }
    static std::vector<uint32_t> recorded_sleeps() {
        std::lock_guard<std::mutex> lock(mutex());
        return sleeps();
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static int64_t now() {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() * speed_;
    }
    static void sleep(uint32_t us) {
        std::lock_guard<std::mutex> lock(mutex());
        sleeps().push_back(us);
    }
    static inline int speed_ = 1;
};

// While alive: the log's information stream (or its warning and error
// streams) goes to a temporary file whose text can be read back, also while
// another thread writes to it.
class LogCapture {
public:
    enum class Streams { Information, WarningsAndErrors };
    explicit LogCapture(Streams streams = Streams::Information);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const;
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    size_t count(const std::string& s) const;
    // Waits up to `ms` for `s` to appear `times` times.
    bool wait_for(const std::string& s, size_t times = 1, int ms = 3000) const;
    // Forgets what was logged so far.
    void clear();

private:
    Streams streams_;
    FILE* file_;
    FILE* saved_[2];
};
