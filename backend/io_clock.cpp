#include "backend/io_clock.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

int64_t (*orvela_clock_hook)(void) = nullptr;
void (*orvela_sleep_hook)(uint32_t microseconds) = nullptr;

namespace orvela_io {

int64_t now_ms() {
    if (orvela_clock_hook != nullptr) return orvela_clock_hook();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_us(uint32_t microseconds) {
    if (orvela_sleep_hook != nullptr) {
        orvela_sleep_hook(microseconds);
        return;
    }
    timespec left{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool wait_readable(int fd, int64_t timeout_ms) {
    constexpr int64_t kTestClockSliceMs = 10;
    int64_t wait = std::clamp<int64_t>(timeout_ms, 0, INT_MAX);
    if (orvela_clock_hook != nullptr) wait = std::min(wait, kTestClockSliceMs);
    pollfd p{fd, POLLIN, 0};
    // An interrupted wait reports "not ready": the caller looks at its clock
    // again and waits for what is left. A pending socket error counts as
    // ready, so that the read which reports it also clears it.
    return poll(&p, 1, static_cast<int>(wait)) > 0;
}

}  // namespace orvela_io
