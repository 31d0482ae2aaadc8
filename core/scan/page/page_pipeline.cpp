// Decode and rescale of one page, the rescale running in bands beside the
// decode (see page_pipeline.h).
//
// The page decoder (page_decode) tells the rescale how many rows are final;
// its fatal errors jump back to the decode, which has the band thread stopped
// before anything it reads is released.
#include "core/scan/page/page_pipeline.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/checked_size.h"
#include "common/debugtool.h"
#include "core/scan/imageproc/resample.h"
#include "core/scan/imageproc/resample_engine.h"
#include "core/scan/page/page_decode.h"

namespace {

using orvela::resample::PackedWeights;
using orvela::resample::SimdLevel;
using orvela::resample::TwoPassJob;

std::atomic<bool> g_enabled{true};
std::atomic<unsigned> g_band_rows{128};
std::atomic<bool> g_refuse_thread{false};

// ---------------------------------------------------------------------------
// Rescaling in bands of destination rows.

// Rows of the decoded page become final in order; the band thread waits for
// the rows a band reads. Everything here is exception-free (pthread calls).
class BandScaler {
public:
    BandScaler() = default;
    BandScaler(const BandScaler&) = delete;
    BandScaler& operator=(const BandScaler&) = delete;
    ~BandScaler() { stop(); }

    // Sets up the weights for src (w x h x C) -> dst (dw x dh); false when
    // this page is not done in bands (ScaleDownPage does it after the decode).
    bool prepare(unsigned w, unsigned h, unsigned C, unsigned dw, unsigned dh) {
        const orvela::resample::EngineSettings engine = orvela::resample::GetEngineSettings();
        if (!g_enabled.load() || engine.level == SimdLevel::Scalar || engine.max_threads < 2) return false;
        if ((C != 1 && C != 3) || dw == w || dh == h) return false;
        // The filter and the order of the passes that ScaleDownPage chooses
        // when both sides change.
        const bool wider = dw > w;
        const FilterFunc filter = orvela::resample::PageFilter(w, dw);
        if (!wh_.build(filter, dw, w) || !wv_.build(filter, dh, h)) return false;
        level_ = engine.level;
        job_ = TwoPassJob{&wh_, &wv_, nullptr, nullptr, w, C, !wider};
        unsigned band = g_band_rows.load();
        band = band < 8 ? 8 : (band > 4096 ? 4096 : band);
        band_rows_ = (band + 7) / 8 * 8;
        bands_ = (dh + band_rows_ - 1) / band_rows_;
        return true;
    }

    // Starts the band thread on the page buffers (src being decoded).
    void start(const uint8_t* src, uint8_t* dst) {
        job_.src = src;
        job_.dst = dst;
        active_ = true;
        if (g_refuse_thread.load()) {
            DBG_INFO("No band thread: the page is rescaled after its decode\n");
            return;
        }
        // The host's signals stay on the host's threads.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        thread_started_ = pthread_create(&thread_, nullptr, thread_main, this) == 0;
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (!thread_started_) DBG_INFO("No band thread: the page is rescaled after its decode\n");
    }

    // The decoder has finished rows [0, rows).
    void rows_ready(unsigned rows) {
        if (!thread_started_) return;
        pthread_mutex_lock(&lock_);
        ready_ = rows;
        if (waiting_ && ready_ >= wanted_) pthread_cond_signal(&cond_);
        pthread_mutex_unlock(&lock_);
    }

    // The decode failed: the band thread stops before the buffers go.
    void stop() {
        if (!thread_started_) return;
        pthread_mutex_lock(&lock_);
        stopping_ = true;
        pthread_cond_signal(&cond_);
        pthread_mutex_unlock(&lock_);
        pthread_join(thread_, nullptr);
        thread_started_ = false;
    }

    // The whole page is decoded: the bands left are shared with the band
    // thread. True when every band was made.
    bool finish() {
        if (!active_) return false;
        run_bands(false);
        if (thread_started_) {
            pthread_join(thread_, nullptr);
            thread_started_ = false;
        }
        return !failed_.load();
    }

private:
    static void* thread_main(void* arg) noexcept {
        static_cast<BandScaler*>(arg)->run_bands(true);
        return nullptr;
    }

    // Source rows that destination rows [v0, v1) read: up to the end of the
    // last tap of any of them.
    unsigned rows_needed(unsigned v0, unsigned v1) const {
        unsigned end = 0;
        for (unsigned v = v0; v < v1; ++v) {
            const unsigned e = wv_.left[v] + wv_.count[v];
            if (e > end) end = e;
        }
        return end;
    }

    // Waits until rows [0, rows) are final; false when the decode failed.
    bool wait_for(unsigned rows) {
        pthread_mutex_lock(&lock_);
        while (ready_ < rows && !stopping_) {
            wanted_ = rows;
            waiting_ = true;
            pthread_cond_wait(&cond_, &lock_);
            waiting_ = false;
        }
        const bool go = !stopping_;
        pthread_mutex_unlock(&lock_);
        return go;
    }

    // Takes bands in order until none is left; the band thread waits for
    // its rows, the decoder's thread (after the decode) never needs to.
    void run_bands(bool wait) {
        for (;;) {
            const unsigned b = next_band_.fetch_add(1);
            if (b >= bands_) return;
            const unsigned v0 = b * band_rows_;
            const unsigned v1 = v0 + band_rows_ < wv_.dst_size ? v0 + band_rows_ : wv_.dst_size;
            if (wait && !wait_for(rows_needed(v0, v1))) return;
            if (!orvela::resample::TwoPassRowsAt(level_, job_, v0, v1)) failed_.store(true);
        }
    }

    PackedWeights wh_, wv_;
    TwoPassJob job_{};
    SimdLevel level_ = SimdLevel::Scalar;
    unsigned band_rows_ = 0;
    unsigned bands_ = 0;
    bool active_ = false;
    bool thread_started_ = false;
    pthread_t thread_{};
    std::atomic<unsigned> next_band_{0};
    std::atomic<bool> failed_{false};
    // Guarded by lock_.
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
    unsigned ready_ = 0;
    unsigned wanted_ = 0;
    bool waiting_ = false;
    bool stopping_ = false;
};

// The page's rescaling: the destination buffer and, where possible, the
// band thread.
class PageRescale final : public PageSink {
public:
    PageRescale(SANE_Word resolution, unsigned device_x) : resolution_(resolution), device_x_(device_x) {}
    ~PageRescale() override {
        bands_.stop();  // never free what the band thread may still write
        free(dst_);
    }

    void begin(unsigned char* buffer, unsigned w, unsigned h, unsigned C) override {
        if (!rescaled_page_size(w, h, resolution_, device_x_, &dw_, &dh_)) {
            status_ = SANE_STATUS_INVAL;
            return;
        }
        dst_ = static_cast<unsigned char*>(malloc(checked_bytes(dw_, dh_, C)));
        if (dst_ == nullptr) {
            status_ = SANE_STATUS_NO_MEM;
            return;
        }
        if (bands_.prepare(w, h, C, dw_, dh_)) {
            DBG_INFO("Run into ScaleDownPage\n");
            bands_.start(buffer, dst_);
        }
    }
    void rows_ready(unsigned rows) override { bands_.rows_ready(rows); }
    void abandon() override { bands_.stop(); }

    // After a good decode: the rescaled page replaces the decoded one.
    SANE_Status complete(ORVELA_IMAGE_RAW& src, ORVELA_IMAGE_RAW& dst) {
        if (status_ != SANE_STATUS_GOOD) return status_;
        if (!bands_.finish())
            ScaleDownPage(src.img_data, static_cast<int>(src.img_width), static_cast<int>(src.img_height),
                          static_cast<int>(src.img_channel), dst_, static_cast<int>(dw_), static_cast<int>(dh_));
        dst = {dst_, dw_, dh_, src.img_channel};
        dst_ = nullptr;
        free(src.img_data);
        src.img_data = nullptr;
        return SANE_STATUS_GOOD;
    }

private:
    SANE_Word resolution_;
    unsigned device_x_;
    uint32_t dw_ = 0, dh_ = 0;
    unsigned char* dst_ = nullptr;
    SANE_Status status_ = SANE_STATUS_GOOD;
    BandScaler bands_;
};

}  // namespace

bool rescaled_page_size(uint32_t w, uint32_t h, SANE_Word resolution, unsigned device_x, uint32_t* dst_w,
                        uint32_t* dst_h) {
    const double ratio = static_cast<double>(resolution) / device_x;
    const double dw = std::trunc(w * ratio + 0.00001);
    const double dh = std::trunc(ratio * h + 0.00001);
    DBG_INFO("dst_img.img_width=%d, dst_img.img_height=%d\n", static_cast<int>(dw), static_cast<int>(dh));
    if (!(dw >= 1) || !(dh >= 1) || dw > 65500 * 8.0 || dh > 65500 * 8.0) return false;
    *dst_w = static_cast<uint32_t>(dw);
    *dst_h = static_cast<uint32_t>(dh);
    return true;
}

PageResult decode_and_rescale_page(const char* filename, DeviceTier tier, SANE_Word resolution, unsigned device_x,
                                   ORVELA_IMAGE_RAW* src, ORVELA_IMAGE_RAW* dst) {
    const bool rescale_page = static_cast<unsigned>(resolution) != device_x && device_x != 0;
    PageRescale rescale(resolution, device_x);
    ORVELA_IMAGE_RAW page{};
    const SCAN_Status decoded = decode_page_file(filename, tier, rescale_page ? &rescale : nullptr, &page);
    if (decoded != SCAN_STATUS_GOOD) return {decoded, SANE_STATUS_GOOD};
    free_page_images(src, dst);
    *src = page;
    if (!rescale_page) {
        *dst = *src;
        return {decoded, SANE_STATUS_GOOD};
    }
    return {decoded, rescale.complete(*src, *dst)};
}

PagePipelineSettings get_page_pipeline_settings() {
    return PagePipelineSettings{g_enabled.load(), g_band_rows.load(), g_refuse_thread.load()};
}

void set_page_pipeline_settings(const PagePipelineSettings& settings) {
    g_enabled.store(settings.enabled);
    g_band_rows.store(settings.band_rows);
    g_refuse_thread.store(settings.refuse_thread);
}
