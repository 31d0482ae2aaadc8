// The streamed page: start returns as soon as the device has accepted the
// scan, and each read takes the rows that the page stream (page_stream.h)
// makes from what the device has sent, waiting for the device only while it
// has nothing to give. No page file, no lock between processes, a few
// megabytes of rows instead of the page.
#include "core/scan/job/streamed_page.h"

#include <memory>
#include <new>

#include "common/debugtool.h"
#include "core/scan/job/job_page.h"
#include "core/scan/job/job_steps.h"
#include "core/scan/job/page_request.h"
#include "core/scan/job/scan_job.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/page/page_stream.h"

namespace {

class StreamedPage final : public JobPage {
public:
    SANE_Status check_resources(const ORVELA_ScanParam& request, SANE_Word resolution) override {
        // The rows and the decoder's state, not the page.
        const unsigned channels = request.ScanColor == TrueColor ? 3u : 1u;
        const size_t need = PageStream::memory_estimate(request.widthPixel, channels, resolution, request.xResolution);
        return IsLowofSystemMemory((need >> 20) + 1) ? SANE_STATUS_NO_MEM : SANE_STATUS_GOOD;
    }

    SANE_Status prepare(orvela_scanner_t* s) override {
        const ORVELA_ScanParam& d = s->dev_params;
        // No memory for the page: std::bad_alloc, SANE_STATUS_NO_MEM at the entry point.
        page_ = std::make_unique<PageStream>(&s->job_canceled, s->val[OPT_RESOLUTION].w, d.xResolution,
                                             d.yResolution, packs_bilevel(s));
        return page_->init() ? SANE_STATUS_GOOD : SANE_STATUS_NO_MEM;
    }

    SANE_Status receive(orvela_scanner_t*) override { return SANE_STATUS_GOOD; }

    Rows row_for_line(const FrameLines& frame, unsigned line, bool may_wait, const unsigned char** row,
                      size_t* bytes) override {
        PageStream::Result r = page_->is_open() ? PageStream::Result::Ready : page_->open(may_wait);
        unsigned index = 0;
        if (r == PageStream::Result::Ready && line_row(frame, page_->shape(), line, &index, bytes)) {
            while (r == PageStream::Result::Ready && page_->rows_made() <= index) r = page_->next_row(may_wait, row);
            *row = page_->last_row();
        }
        if (r == PageStream::Result::Wait) return Rows::Wait;
        if (r != PageStream::Result::Ready && r != PageStream::Result::NoRow) {
            stop_ = r;
            return Rows::Stopped;
        }
        return Rows::Ready;
    }

    SANE_Status stopped(orvela_scanner_t* s) override {
        switch (stop_) {
        case PageStream::Result::Cancelled:
            return SANE_STATUS_CANCELLED;  // the cancel's device work follows (cancel_job_work)
        case PageStream::Result::Ended: {
            // The device ended the page early: a jam or an opened cover, or a
            // page cut short. The job goes on or ends as after any page.
            DBG_INFO("Page ended before its image\n");
            const SANE_Status status = finish_page(s, page_->end_result());
            return status == SANE_STATUS_GOOD ? SANE_STATUS_IO_ERROR : status;
        }
        default: {
            const SANE_Status status = page_->status();
            DBG_INFO("Page stream broken, aborting the page\n");
            abort_job(s);
            return status;
        }
        }
    }

    SANE_Status finish(orvela_scanner_t* s) override {
        finished_ = true;
        stop_ = page_->finish();
        if (stop_ != PageStream::Result::Done) return stopped(s);
        return finish_page(s, page_->end_result());
    }

    bool awaits_page_end() const override { return !finished_; }

    orvela_protocol::PagePull* in_flight() override {
        return page_ != nullptr && !page_->pull().ended() ? &page_->pull() : nullptr;
    }

    bool discard_rest(orvela_scanner_t* s) override {
        orvela_protocol::PagePull* pull = in_flight();
        if (pull == nullptr) return true;
        // Pulled to its end like the sheets after it, so that the next
        // command's reply is the next thing to read.
        std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[orvela_drv::kBandBufferSize]);
        size_t got = 0;
        while (scratch != nullptr && !pull->ended()) {
            const auto r = pull->pull(scratch.get(), orvela_drv::kBandBufferSize, &got);
            if (r == orvela_protocol::PagePull::Result::Failed || r == orvela_protocol::PagePull::Result::Cancelled)
                break;
        }
        if (pull->ended()) return true;
        abort_job(s);
        return false;
    }

private:
    std::unique_ptr<PageStream> page_;
    PageStream::Result stop_ = PageStream::Result::Ready;
    bool finished_ = false;
};

}  // namespace

std::unique_ptr<JobPage> make_streamed_page() { return std::make_unique<StreamedPage>(); }
