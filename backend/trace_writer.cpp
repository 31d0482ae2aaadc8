#include "backend/trace_writer.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

namespace wire_trace {
namespace {

struct Pending {
    pthread_t thread{};
    bool running = false;
    pid_t owner = 0;  // a child of fork() has no such thread to wait for
    DeviceTrace* trace = nullptr;
    bool failed = false;

    ~Pending() { join(); }

    void join() {
        if (running && owner == getpid()) pthread_join(thread, nullptr);
        running = false;
    }
};
Pending g_pending;

void write_out(DeviceTrace* trace, bool* failed) {
    trace->held.replay(trace->session);
    trace->out.close();
    *failed = *failed || trace->out.failed();
    delete trace;
}

void* writer_main(void*) {
#ifdef SCHED_IDLE
    // Only a core nobody else wants: the frontend is still finishing the page.
    const sched_param lowest{};
    (void)pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest);
#endif
    write_out(g_pending.trace, &g_pending.failed);
    return nullptr;
}

}  // namespace

void write_out_later(DeviceTrace* trace) {
    g_pending.join();
    g_pending.trace = trace;
    g_pending.owner = getpid();
    // The thread takes no signal: a frontend's handlers (Ctrl-C) belong to
    // its own threads.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    g_pending.running = pthread_create(&g_pending.thread, nullptr, writer_main, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!g_pending.running) write_out(trace, &g_pending.failed);
}

bool wait_written() {
    g_pending.join();
    const bool ok = !g_pending.failed;
    g_pending.failed = false;
    return ok;
}

}  // namespace wire_trace
