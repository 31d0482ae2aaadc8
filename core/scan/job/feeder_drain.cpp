#include "core/scan/job/feeder_drain.h"

#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "core/scan/job/job_page.h"
#include "core/scan/job/job_section.h"
#include "core/scan/job/page_request.h"
#include "core/scan/job/scan_job.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/page/page_file.h"
#include "core/scan/sane/sane_globals.h"

namespace {

// Scans and discards sheets until the feeder is empty or a step fails.
void pull_remaining_sheets(orvela_scanner_t* s) {
    int fd = -1;
    if (page_file_acquire(kScanFilePath, 0, &s->job_canceled, &fd) != SCAN_STATUS_GOOD) {
        s->job_completed = true;
        return;
    }
    while (!s->job_completed) {
        if (Drv_get_adf_status() != STATUS_ADF_PAPER_EXIST || Drv_start(s->dev_params) != SCAN_STATUS_GOOD ||
            Drv_scan2File(kScanFilePath, &s->job_canceled).scan_status != SCAN_STATUS_GOOD) {
            s->job_completed = true;
            break;
        }
        if (Drv_get_adf_status() != STATUS_ADF_PAPER_EXIST) {
            s->job_completed = true;
            DBG_INFO("sane_read ADF job end with no paper!\n");
        }
    }
    page_file_release(kScanFilePath, fd, false);
}

void drain_feeder(orvela_scanner_t* s) {
    // A streamed page in the middle is pulled to its end and thrown away
    // (its later reads answer CANCELLED); one whose pull fails there was
    // aborted, and the scanner released: the drain is over. A page already in
    // memory stays readable.
    if (s->page != nullptr && s->page->in_flight() != nullptr) {
        const bool page_pulled = s->page->discard_rest(s);
        give_up_page(s, SANE_STATUS_CANCELLED);
        if (!page_pulled) {
            s->job_completed = true;
            return;
        }
    }
    // The drain asks for the sheets where the frontend placed them: no
    // centring, no mirroring.
    s->dev_params = device_request(s, Placement::AsPlaced);
    if (!s->job_completed) pull_remaining_sheets(s);
    if (s->device_held) Drv_close();
    s->device_held = false;
}

}  // namespace

extern "C" {

void drv_cancelADFPages(orvela_scanner_t* s) {
    c_boundary::run("drv_cancelADFPages", [&] {
        if (s == nullptr || s->user_params.ScanSource != ScanSource_ADF) return;
        DBG_INFO("Run into drv_cancelADFPages\n");
        JobSectionHold section(s);
        drain_feeder(s);
    });
}

}  // extern "C"
