#include "core/scan/job/job_section.h"

#include <ctime>

#include "core/scan/job/scan_job.h"

void job_section_claim(orvela_scanner_t* s) {
    while (!job_section_try_claim(s)) {
        timespec t = {0, 1000000L};
        nanosleep(&t, nullptr);
    }
}

bool job_section_try_claim(orvela_scanner_t* s) {
    bool expected = false;
    return s->device_section_busy.compare_exchange_strong(expected, true);
}

bool job_section_release(orvela_scanner_t* s) {
    bool handled = false;
    for (;;) {
        if (s->cancel_pending.exchange(false)) {
            cancel_job_work(s);
            handled = true;
        }
        s->device_section_busy.store(false);
        // A cancel that found the section held just before it was released
        // is run here, unless a new holder took the section and will.
        if (!s->cancel_pending.load() || !job_section_try_claim(s)) return handled;
    }
}
