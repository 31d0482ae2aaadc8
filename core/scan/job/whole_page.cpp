// The whole page, the described way: while start runs, the driver layer pulls
// the page into the page file, which is decoded, rescaled to the requested
// resolution and, for black and white, packed to one bit per pixel; reads
// then serve dst_img from memory, with no device I/O and no allocation.
#include "core/scan/job/whole_page.h"

#include <optional>

#include "common/debugtool.h"
#include "core/scan/job/job_page.h"
#include "core/scan/job/job_steps.h"
#include "core/scan/job/page_request.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/page/page_pipeline.h"
#include "core/scan/page/page_decode.h"
#include "core/scan/page/page_file.h"
#include "common/c_boundary.h"
#include "core/scan/imageproc/bilevel.h"
#include "core/scan/sane/sane_globals.h"

namespace {

// How long a start waits for the page file while another scan holds it.
constexpr int kPageFileWaitSeconds = 120;

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

DeviceTier device_tier(const orvela_scanner_t* s) { return {s->dev_params.xResolution, s->dev_params.yResolution}; }

class WholePage final : public JobPage {
public:
    // Reads serve a page already in dst_img.
    explicit WholePage(const ORVELA_IMAGE_RAW* served = nullptr) : served_(served) {}

    SANE_Status check_resources(const ORVELA_ScanParam& request, SANE_Word) override {
        const uint32_t channels = request.ScanColor == TrueColor ? 3u : 1u;
        const uint32_t need = (request.widthPixel * request.heightPixel * channels) >> 20;
        if (IsLowofSystemMemory(need)) return SANE_STATUS_NO_MEM;
        if (IsNoEnoughSpace("/tmp", need)) return SANE_STATUS_ACCESS_DENIED;
        return SANE_STATUS_GOOD;
    }

    SANE_Status prepare(orvela_scanner_t* s) override {
        // Only one scan at a time writes the page file, in this process or
        // any other of this user's; a second one waits for it (a cancel ends
        // the wait).
        const SCAN_Status status = page_file_.emplace().acquire(s);
        if (status == SCAN_STATUS_CANCELLED) return SANE_STATUS_CANCELLED;
        return static_cast<SANE_Status>(status);
    }

    SANE_Status receive(orvela_scanner_t* s) override {
        const SANE_Status status = receive_locked(s);
        page_file_.reset();  // the lock goes with the start
        return status;
    }

    Rows row_for_line(const FrameLines& frame, unsigned line, bool, const unsigned char** row,
                      size_t* bytes) override {
        const ORVELA_IMAGE_RAW& img = *served_;
        unsigned index = 0;
        if (img.img_data != nullptr && line_row(frame, img, line, &index, bytes))
            *row = img.img_data + static_cast<size_t>(index) * img.img_width * img.img_channel;
        return Rows::Ready;
    }

    SANE_Status stopped(orvela_scanner_t*) override { return SANE_STATUS_IO_ERROR; }  // never stops
    // The device's end of the page was handled by start.
    SANE_Status finish(orvela_scanner_t*) override { return SANE_STATUS_GOOD; }

private:
    SANE_Status receive_locked(orvela_scanner_t* s) {
        const SCAN_RESULT result = Drv_scan2File(kScanFilePath, &s->job_canceled);
        const SANE_Status status = finish_page(s, result);
        if (status != SANE_STATUS_GOOD) return status;

        // Decoded and, when the resolution differs from the device's,
        // rescaled (beside the decode where it can be).
        const PageResult page = decode_and_rescale_page(kScanFilePath, device_tier(s), s->val[OPT_RESOLUTION].w,
                                                        s->dev_params.xResolution, &s->src_img, &s->dst_img);
        if (page.decoded != SCAN_STATUS_GOOD) {
            DBG_INFO("jpeg decompress fail!\n");
            return static_cast<SANE_Status>(page.decoded);  // the page file stays for inspection
        }
        DBG_INFO("jpeg decompress success!\n");
        page_file_->remove_on_release();
        if (page.rescaled != SANE_STATUS_GOOD) return page.rescaled;
        if (packs_bilevel(s) && s->dst_img.img_channel == 1)
            pack_bilevel_page(s->dst_img);
        served_ = &s->dst_img;
        return SANE_STATUS_GOOD;
    }

    const ORVELA_IMAGE_RAW* served_;
    std::optional<PageFileLock> page_file_;
};

}  // namespace

std::unique_ptr<JobPage> make_whole_page() { return std::make_unique<WholePage>(); }
std::unique_ptr<JobPage> make_decoded_page(const ORVELA_IMAGE_RAW* served) {
    return std::make_unique<WholePage>(served);
}

extern "C" SCAN_Status orvela_sane_decompress(orvela_scanner_t* s, const char* filename) {
    return c_boundary::call("orvela_sane_decompress", SCAN_STATUS_IO_ERROR, SCAN_STATUS_NO_MEM, [&] {
        if (s == nullptr) return SCAN_STATUS_IO_ERROR;
        ORVELA_IMAGE_RAW page{};
        const SCAN_Status status = decode_page_file(filename, device_tier(s), nullptr, &page);
        if (status == SCAN_STATUS_GOOD) {
            free_page_images(&s->src_img, &s->dst_img);
            s->src_img = page;
        }
        return status;
    });
}
