// Time-keeping and pauses of the device I/O: the transport's read and write
// time-outs, the protocol's pause between unlock attempts and the driver
// layer's wait for a busy or warming-up scanner all go through these two
// functions. Both are process-wide hooks so that tests can replace the clock
// or record the pauses instead of sleeping; the library itself never sets them.
#pragma once

#include <cstdint>

// Returns the elapsed time in milliseconds on a clock that never goes back.
// Null (the default) means CLOCK_MONOTONIC.
extern int64_t (*orvela_clock_hook)(void);
// Pauses for the given number of microseconds. Null (the default) means a real
// sleep that resumes after signals until the whole pause has passed.
extern void (*orvela_sleep_hook)(uint32_t microseconds);

namespace orvela_io {

int64_t now_ms();
void sleep_us(uint32_t microseconds);
// Waits until `fd` has data (or an error) to read or `timeout_ms` of this
// clock have passed; true when a read will not block. Under a test clock the wait is cut into
// short real slices, so that a faster clock also ends it sooner.
bool wait_readable(int fd, int64_t timeout_ms);

}  // namespace orvela_io
