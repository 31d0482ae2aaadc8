#include "common/big_buffer.h"

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace big_buffer {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

void* allocate(size_t bytes) {
    if (bytes < 2 * kHugePage || bytes == SIZE_MAX) return malloc(bytes);
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* buffer = aligned_alloc(kHugePage, rounded);
    if (buffer != nullptr) madvise(buffer, rounded, MADV_HUGEPAGE);
    return buffer;
}

Populate::Populate(void* buffer, size_t bytes) : buffer_(buffer), bytes_(bytes) {
    // With a C library that lacks the request (before 2.35) no thread is
    // started: the filler maps the pages as it writes, as for a small
    // buffer. (Touching them here would write where the filler writes.)
#ifdef MADV_POPULATE_WRITE
    if (bytes < 2 * kHugePage) return;
    sigset_t all, old;  // the host's signals stay on the host's threads
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    started_ = pthread_create(&thread_, nullptr, run, this) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
}

Populate::~Populate() {
    stop_.store(true, std::memory_order_relaxed);
    if (started_) pthread_join(thread_, nullptr);
}

void* Populate::run(void* self) noexcept {
#ifdef MADV_POPULATE_WRITE
    auto* p = static_cast<Populate*>(self);
    // A huge page at a time, giving way after each: the filler and the
    // process that sends the page keep their processors (on two cores this
    // thread is a third one), and the system's memory lock is held for one
    // page's clearing at a time, not for the whole buffer's.
    auto* at = static_cast<unsigned char*>(p->buffer_);
    for (size_t done = 0; done < p->bytes_ && !p->stop_.load(std::memory_order_relaxed); done += kHugePage) {
        // A kernel without the request (before 5.14) refuses it: nothing to do.
        if (madvise(at + done, std::min(kHugePage, p->bytes_ - done), MADV_POPULATE_WRITE) != 0 && errno == EINVAL)
            break;
        sched_yield();
    }
#else
    (void)self;
#endif
    return nullptr;
}

}  // namespace big_buffer
