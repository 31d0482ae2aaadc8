// The job's device section (job_section_claim / job_section_release) held for
// one entry point's work. release() ends the hold and says whether it ran the
// device work of a cancel that arrived meanwhile; a hold that is left any
// other way (an exception on its way to the C boundary) is released as well,
// so that the handle stays usable.
#pragma once

#include <utility>

#include "core/scan/sane/sane_handle.h"

// The job's device section: start, read, cancel and the feeder drain hold it
// while they make device calls or touch the page. claim waits for a holder on
// another thread; try_claim does not wait. release runs the device work of a
// cancel that arrived while the section was held (and returns true then).
void job_section_claim(orvela_scanner_t* s);
bool job_section_try_claim(orvela_scanner_t* s);
bool job_section_release(orvela_scanner_t* s);

class JobSectionHold {
public:
    // Waits for the section.
    explicit JobSectionHold(orvela_scanner_t* s) : s_(s) { job_section_claim(s); }
    // Takes the section if it is free; holds nothing otherwise.
    static JobSectionHold try_claim(orvela_scanner_t* s) {
        return JobSectionHold(job_section_try_claim(s) ? s : nullptr, Held{});
    }
    ~JobSectionHold() {
        if (s_ != nullptr) job_section_release(s_);
    }
    JobSectionHold(const JobSectionHold&) = delete;
    JobSectionHold& operator=(const JobSectionHold&) = delete;

    explicit operator bool() const { return s_ != nullptr; }
    bool release() { return job_section_release(std::exchange(s_, nullptr)); }

private:
    struct Held {};
    JobSectionHold(orvela_scanner_t* held, Held) : s_(held) {}
    orvela_scanner_t* s_;
};
