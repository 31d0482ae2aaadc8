// sane_orvela_start: one page per call. The area and the machine's resources
// are checked, the device is opened when a job begins, the driver layer pulls
// the whole compressed page into the page file, which is decoded, rescaled to
// the requested resolution and, for black and white, packed to one bit per
// pixel; sane_orvela_read then serves it from memory. With "scan streaming on"
// in orvela.conf the streaming path (sane_stream.cpp) runs instead; the steps
// both share are in scan_job.cpp.
//
//   job:  start(page 1)                     start(page k)            start(last)
//         range/mem/disk checks             checks                   checks
//         page file locked                  page file locked         page file locked
//         Drv_open (lock, wait busy)        -                        -
//         [feeder: paper present?]          -                        -
//         Drv_start, Drv_scan2File          Drv_start, Drv_scan2File Drv_start, Drv_scan2File
//         [flatbed: Drv_close]              [feeder: paper left]     [feeder empty: Drv_close]
//         decode, rescale, pack             decode, ...              decode, ...
//   cancel (any time, any thread): sets job_canceled; the transfer stops at
//         the next header; the device calls of cancel run in the job's device
//         section, never beside start's (see job_section_* below).
#include <sys/statfs.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/debugtool.h"
#include "common/orvela_config.h"
#include "core/scan/job_section.h"
#include "core/scan/orvela_drv.h"
#include "core/scan/page_pipeline.h"
#include "core/scan/sane_boundary.h"
#include "core/scan/sane_decode.h"
#include "core/scan/sane_entry_points.h"
#include "core/scan/sane_globals.h"
#include "core/scan/sane_handle.h"
#include "core/scan/sane_stream.h"
#include "core/scan/scan_job.h"

namespace {

// How long a start waits for the page file while another scan holds it.
constexpr int kPageFileWaitSeconds = 120;

double fixed_mm(SANE_Word v) { return static_cast<double>(v) / 65536.0; }

// The page file, locked for one start and given back on every way out.
class PageFileLock {
public:
    ~PageFileLock() { page_file_release(kScanFilePath, fd_, remove_); }
    SCAN_Status acquire(const orvela_scanner_t* s) {
        return page_file_acquire(kScanFilePath, kPageFileWaitSeconds, &s->job_canceled, &fd_);
    }
    void remove_on_release() { remove_ = true; }

private:
    int fd_ = -1;
    bool remove_ = false;
};

// A start of the whole-page path, inside the job's device section: the page
// is pulled into the page file, decoded, rescaled and packed before start
// returns.
SANE_Status run_start(orvela_scanner_t* s) {
    ORVELA_ScanParam request;
    SANE_Status status = check_page_request(s, &request);
    if (status != SANE_STATUS_GOOD) return status;

    const uint32_t channels = request.ScanColor == TrueColor ? 3u : 1u;
    const uint32_t need = (request.widthPixel * request.heightPixel * channels) >> 20;
    if (IsLowofSystemMemory(need)) return SANE_STATUS_NO_MEM;
    if (IsNoEnoughSpace("/tmp", need)) return SANE_STATUS_ACCESS_DENIED;
    begin_page(s, request);

    if (!continuing_feeder_job(s)) begin_job(s);
    if (cancel_flag_load(s)) return SANE_STATUS_CANCELLED;

    // Only one scan at a time writes the page file, in this process or any
    // other of this user's; a second one waits for it (a cancel ends the wait).
    PageFileLock page_file;
    const SCAN_Status file_status = page_file.acquire(s);
    if (file_status == SCAN_STATUS_CANCELLED) return SANE_STATUS_CANCELLED;
    if (file_status != SCAN_STATUS_GOOD) return static_cast<SANE_Status>(file_status);

    if ((status = open_job(s)) != SANE_STATUS_GOOD) return status;
    if ((status = start_page(s)) != SANE_STATUS_GOOD) return status;
    const SCAN_RESULT result = Drv_scan2File(kScanFilePath, &s->job_canceled);
    if ((status = finish_page(s, result)) != SANE_STATUS_GOOD) return status;

    // Decoded and, when the resolution differs from the device's, rescaled
    // (beside the decode where it can be).
    const PageResult page =
        decode_and_rescale_page(s, kScanFilePath, s->val[OPT_RESOLUTION].w, s->dev_params.xResolution);
    if (page.decoded != SCAN_STATUS_GOOD) {
        DBG_INFO("jpeg decompress fail!\n");
        return static_cast<SANE_Status>(page.decoded);  // the page file stays for inspection
    }
    DBG_INFO("jpeg decompress success!\n");
    page_file.remove_on_release();
    if (page.rescaled != SANE_STATUS_GOOD) {
        release_page_buffers(s);
        return page.rescaled;
    }
    if (s->user_params.ScanColor == BlackWhite && s->dev_params.ScanColor == Gray && s->dst_img.img_channel == 1)
        pack_bilevel_page(s->dst_img);

    // Reads rely on the frame parameters; a frontend that reads without asking
    // for them first still gets the page's real line count.
    compute_frame_parameters(s);
    return SANE_STATUS_GOOD;
}

void sleep_briefly() {
    timespec t = {0, 1000000L};
    nanosleep(&t, nullptr);
}

}  // namespace

unsigned device_x_dpi(SANE_Word resolution) {
    const auto r = static_cast<unsigned>(resolution);
    return r <= 300 ? 300 : r <= 600 ? 600 : 1200;
}

unsigned device_y_dpi(SANE_Word resolution) { return static_cast<unsigned>(resolution) <= 300 ? 300 : 600; }

void compute_device_request(orvela_scanner_t* s) { s->dev_params = device_request(s); }

ORVELA_ScanParam device_request(const orvela_scanner_t* s) {
    const SANE_Word r = s->val[OPT_RESOLUTION].w;
    const double x_dpi = device_x_dpi(r);
    const double y_dpi = device_y_dpi(r);
    const SANE_Word width = s->val[OPT_WIDTH].w;
    const SANE_Word tl_x = s->val[OPT_TL_X].w;

    ORVELA_ScanParam d{};
    d.ScanColor = s->user_params.ScanColor == BlackWhite ? Gray : s->user_params.ScanColor;
    d.ScanSource = s->user_params.ScanSource;
    d.xResolution = static_cast<unsigned>(x_dpi);
    d.yResolution = static_cast<unsigned>(y_dpi);

    // SANE_Fixed arithmetic in 64 bits: the values are unchecked words.
    double offset_mm = 0;
    if (s->user_params.ScanSource == ScanSource_ADF) {
        offset_mm = fixed_mm(static_cast<SANE_Word>((int64_t{kBedWidthFixed} - width) / 2));
    } else if (s->device.isRightRearBP && s->hasXYPositionFromApp) {
        offset_mm = static_cast<double>(int64_t{kBedWidthFixed} - tl_x - width) / 65536.0;
    } else if (s->hasXYPositionFromApp) {
        offset_mm = fixed_mm(tl_x);
    }
    d.Left = static_cast<unsigned>(std::fabs(std::trunc(offset_mm * x_dpi / 25.4)));
    d.Top = static_cast<unsigned>(std::fabs(std::trunc(fixed_mm(s->val[OPT_TL_Y].w) * y_dpi / 25.4)));
    d.widthPixel = static_cast<unsigned>(std::trunc(fixed_mm(width) * x_dpi / 25.4));
    d.heightPixel = static_cast<unsigned>(std::trunc(y_dpi * fixed_mm(s->val[OPT_HEIGHT].w) / 25.4));
    return d;
}

void job_section_claim(orvela_scanner_t* s) {
    while (!job_section_try_claim(s)) sleep_briefly();
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

extern "C" {

bool IsOutOfScanRange(orvela_scanner_t* s) {
    const int64_t tl_x = s->val[OPT_TL_X].w;
    const int64_t tl_y = s->val[OPT_TL_Y].w;
    const int64_t width = s->val[OPT_WIDTH].w;
    const int64_t height = s->val[OPT_HEIGHT].w;
    if (width < int64_t{11} * 65536 || height < int64_t{11} * 65536 || tl_x + width > int64_t{216} * 65536 ||
        tl_y + height > int64_t{297} * 65536) {
        DBG_INFO("OPT_TL_X=%f\n", tl_x / 65536.0);
        DBG_INFO("OPT_TL_Y=%f\n", tl_y / 65536.0);
        DBG_INFO("OPT_WIDTH=%f\n", width / 65536.0);
        DBG_INFO("OPT_HEIGHT=%f\n", height / 65536.0);
        return true;
    }
    if (s->user_params.ScanSource == ScanSource_ADF &&
        (width < int64_t{127} * 65536 || height < int64_t{127} * 65536 || s->val[OPT_RESOLUTION].w > 600))
        return true;
    return false;
}

bool IsLowofSystemMemory(unsigned long needMem) {
    struct sysinfo info;
    if (sysinfo(&info) != 0) return false;
    const long free_ram = static_cast<long>((static_cast<unsigned long long>(info.freeram) * info.mem_unit) >> 20);
    const long free_swap = static_cast<long>((static_cast<unsigned long long>(info.freeswap) * info.mem_unit) >> 20);
    DBG_INFO("Free RAM: %ldMB\n", free_ram);
    DBG_INFO("Free SWAP: %ldMB\n", free_swap);
    const float want = 2.0f * static_cast<float>(needMem);
    return want > static_cast<float>(free_ram) && want > static_cast<float>(free_swap);
}

bool IsNoEnoughSpace(const char* path, unsigned int prefer_size) {
    struct statfs fs;
    uint32_t available = prefer_size;
    if (statfs(path, &fs) == 0)
        available = static_cast<uint32_t>((static_cast<unsigned long long>(fs.f_bavail) * fs.f_bsize) >> 20);
    DBG_INFO("Disk available space:%ldMB\n", static_cast<long>(available));
    return 1.5f * static_cast<float>(prefer_size) > static_cast<float>(available);
}

static SANE_Status sane_orvela_start_body(SANE_Handle handle) {
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr) return SANE_STATUS_INVAL;
    JobSectionHold section(s);
    SANE_Status status = orvela_config::current().scan_streaming ? run_stream_start(s) : run_start(s);
    if (section.release() && status == SANE_STATUS_GOOD) status = SANE_STATUS_CANCELLED;
    return status;
}


SANE_Status sane_orvela_start(SANE_Handle handle) {
    return sane_call("sane_orvela_start", [&] { return sane_orvela_start_body(handle); });
}

}  // extern "C"
