#include "core/scan/job/job_steps.h"

#include "common/debugtool.h"
#include "core/scan/job/page_request.h"
#include "core/scan/job/scan_job.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/sane/sane_host.h"

// Driver statuses reach the frontend unchanged where no mapping is given: the
// numbers must stay SANE's.
static_assert(SCAN_STATUS_GOOD == static_cast<int>(SANE_STATUS_GOOD));
static_assert(SCAN_STATUS_UNSUPPORTED == static_cast<int>(SANE_STATUS_UNSUPPORTED));
static_assert(SCAN_STATUS_CANCELLED == static_cast<int>(SANE_STATUS_CANCELLED));
static_assert(SCAN_STATUS_DEVICE_BUSY == static_cast<int>(SANE_STATUS_DEVICE_BUSY));
static_assert(SCAN_STATUS_INVAL == static_cast<int>(SANE_STATUS_INVAL));
static_assert(SCAN_STATUS_EOF == static_cast<int>(SANE_STATUS_EOF));
static_assert(SCAN_STATUS_JAMMED == static_cast<int>(SANE_STATUS_JAMMED));
static_assert(SCAN_STATUS_NO_DOCS == static_cast<int>(SANE_STATUS_NO_DOCS));
static_assert(SCAN_STATUS_COVER_OPEN == static_cast<int>(SANE_STATUS_COVER_OPEN));
static_assert(SCAN_STATUS_IO_ERROR == static_cast<int>(SANE_STATUS_IO_ERROR));
static_assert(SCAN_STATUS_NO_MEM == static_cast<int>(SANE_STATUS_NO_MEM));
static_assert(SCAN_STATUS_ACCESS_DENIED == static_cast<int>(SANE_STATUS_ACCESS_DENIED));

SANE_Status sane_status_of(JobStep step, SCAN_Status status, STATUS_ADF adf) {
    switch (step) {
    case JobStep::Open:
    case JobStep::Close:
        if (status == SCAN_STATUS_GOOD || status == SCAN_STATUS_JAMMED || status == SCAN_STATUS_COVER_OPEN)
            return static_cast<SANE_Status>(status);
        return SANE_STATUS_DEVICE_BUSY;
    case JobStep::FirstSheet:
        if (adf == STATUS_ADF_PAPER_EMPTY) return SANE_STATUS_NO_DOCS;
        if (adf == STATUS_ADF_COVER_OPEN) return SANE_STATUS_COVER_OPEN;
        if (adf == STATUS_ADF_JAM) return SANE_STATUS_JAMMED;
        return SANE_STATUS_GOOD;
    case JobStep::StartPage:
        return static_cast<SANE_Status>(status);
    case JobStep::PageEnd:
        if (adf == STATUS_ADF_JAM) return SANE_STATUS_JAMMED;
        if (adf == STATUS_ADF_COVER_OPEN) return SANE_STATUS_COVER_OPEN;
        if (status == SCAN_STATUS_GOOD || status == SCAN_STATUS_CANCELLED) return static_cast<SANE_Status>(status);
        return SANE_STATUS_IO_ERROR;
    }
    return SANE_STATUS_IO_ERROR;
}

SANE_Status check_page_request(orvela_scanner_t* s, ORVELA_ScanParam* request) {
    DBG_INFO("Run into sane_start\n");
    const SANE_Word resolution = s->val[OPT_RESOLUTION].w;
    // No resolution below one dot per inch makes a page. Above, nothing but
    // the memory the page takes limits it (a small area scans at any
    // resolution; too large a page is refused for want of memory).
    if (IsOutOfScanRange(s) || resolution < 1) return SANE_STATUS_INVAL;

    const bool feeder = s->user_params.ScanSource == ScanSource_ADF;
    if (s->job_completed && (feeder || (s->user_params.ScanSource == ScanSource_Flatbed && host_is_efile_app())))
        return SANE_STATUS_NO_DOCS;

    *request = device_request(s);
    return SANE_STATUS_GOOD;
}

void begin_page(orvela_scanner_t* s, const ORVELA_ScanParam& request) {
    s->page_read_lines = 0;
    s->line_offset = 0;
    s->sane_params.last_frame = SANE_TRUE;
    // A page left from an earlier start is never served again.
    release_page(s);
    s->dev_params = request;
}

bool continuing_feeder_job(const orvela_scanner_t* s) {
    return s->pageCount > 0 && s->user_params.ScanSource != ScanSource_Flatbed;
}

void begin_job(orvela_scanner_t* s) {
    cancel_flag_store(s, false);
    if (s->cancel_pending.load()) cancel_flag_store(s, true);
    s->job_completed = false;
}

SANE_Status open_job(orvela_scanner_t* s) {
    if (continuing_feeder_job(s)) return SANE_STATUS_GOOD;
    const SCAN_Status opened = Drv_open(s->device);
    // Only a failed connect leaves nothing open; every other answer leaves
    // the connection for cancel to close.
    s->device_held = opened != SCAN_STATUS_ACCESS_DENIED;
    if (opened != SCAN_STATUS_GOOD) return sane_status_of(JobStep::Open, opened);
    if (s->user_params.ScanSource == ScanSource_ADF && s->pageCount == 0)
        return sane_status_of(JobStep::FirstSheet, SCAN_STATUS_GOOD, Drv_get_adf_status());
    return SANE_STATUS_GOOD;
}

SANE_Status start_page(orvela_scanner_t* s) {
    if (cancel_flag_load(s)) return SANE_STATUS_CANCELLED;
    ORVELA_ScanParam request{};
    request.Left = s->dev_params.Left;
    request.Top = s->dev_params.Top;
    request.ScanColor = s->dev_params.ScanColor;
    request.ScanSource = s->dev_params.ScanSource;
    request.xResolution = s->dev_params.xResolution;
    request.yResolution = s->dev_params.yResolution;
    request.widthPixel = s->dev_params.widthPixel;
    request.heightPixel = s->dev_params.heightPixel;
    return sane_status_of(JobStep::StartPage, Drv_start(request));
}

SANE_Status finish_page(orvela_scanner_t* s, const SCAN_RESULT& result) {
    const SANE_Status page = sane_status_of(JobStep::PageEnd, result.scan_status, result.adf_status);
    if (page != SANE_STATUS_GOOD && page != SANE_STATUS_CANCELLED) return page;
    const bool page_cancelled = page == SANE_STATUS_CANCELLED;
    if (page_cancelled && cancel_flag_load(s)) {
        Drv_cancel();
        s->device_held = false;
    }

    if (s->user_params.ScanSource == ScanSource_ADF) {
        // A closed connection (after a cancel) has nothing more to say.
        if (result.adf_status == STATUS_ADF_PAPER_EMPTY && s->device_held &&
            Drv_get_adf_status() == STATUS_ADF_PAPER_EMPTY) {
            s->job_completed = true;
            DBG_INFO("sane_read ADF job end with no paper!\n");
        }
        if (!s->job_completed && page_cancelled) return SANE_STATUS_CANCELLED;
    } else {
        s->job_completed = true;
    }
    if (s->job_completed) {
        const SANE_Status closed = sane_status_of(JobStep::Close, finish_job(s));
        if (closed == SANE_STATUS_JAMMED || closed == SANE_STATUS_COVER_OPEN) return closed;
        if (page_cancelled) return SANE_STATUS_CANCELLED;
        if (closed != SANE_STATUS_GOOD) return closed;
    }
    s->pageCount += 1;
    return SANE_STATUS_GOOD;
}

SCAN_Status finish_job(orvela_scanner_t* s) {
    if (!s->device_held) return SCAN_STATUS_GOOD;
    s->device_held = false;
    return Drv_close();
}
