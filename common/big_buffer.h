// Buffers of many megabytes that are filled once (a scanned page): memory
// the system clears on first touch, one page fault at a time unless it is
// asked otherwise. Linux only.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>

namespace big_buffer {

// Like malloc (freed with free); a buffer of 4 MiB or more is asked for in
// huge pages where the system grants them on request, so that filling 100 MiB
// costs tens of page faults instead of tens of thousands.
void* allocate(size_t bytes);

// Maps `bytes` at `buffer` on another processor while this thread fills it,
// so that the filler does not wait for the system to clear every page it
// touches first; without a thread (or below 4 MiB) nothing happens. The
// buffer must outlive the object, which stops the mapping where it has got
// to (the filler maps the rest as it writes).
class Populate {
public:
    Populate(void* buffer, size_t bytes);
    ~Populate();
    Populate(const Populate&) = delete;
    Populate& operator=(const Populate&) = delete;

private:
    static void* run(void* self) noexcept;
    void* buffer_;
    size_t bytes_;
    std::atomic<bool> stop_{false};
    pthread_t thread_{};
    bool started_ = false;
};

}  // namespace big_buffer
