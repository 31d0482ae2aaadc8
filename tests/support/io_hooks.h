// Test doubles for the backend's clock, pauses and log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// While alive, the backend's I/O clock is the test's: virtual time that moves
// on by `step_ms` at every reading and by the length of every pause, which is
// recorded and returns at once. A time-out of T ms thus passes after T/step_ms
// readings whatever the load of the machine (the transports read the clock
// once per wait slice of 10 to 100 ms), and the time a test measures on this
// clock is what the code under test saw pass.
class TestClock {
public:
    explicit TestClock(int64_t step_ms = 100);
    ~TestClock();
    TestClock(const TestClock&) = delete;
    TestClock& operator=(const TestClock&) = delete;

    // A reading, as the backend makes one.
    static int64_t now();
    // The pauses so far, in microseconds.
    static std::vector<uint32_t> pauses();
    // The time that passed on this clock while `action` ran, the test's own
    // readings around it left out.
    template <typename Action>
    static int64_t elapsed_ms(Action&& action) {
        const int64_t start = now();
        action();
        return now() - start - step_ms_;
    }

private:
    static int64_t clock_hook();
    static void sleep_hook(uint32_t microseconds);
    static inline int64_t step_ms_ = 0;
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
