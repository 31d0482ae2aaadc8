#include "core/scan/page/page_stream.h"

#include <cstdlib>
#include <memory>

#include "common/debugtool.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/imageproc/bilevel.h"
#include "core/scan/page/page_pipeline.h"
#include "core/scan/page/page_decode.h"

namespace {

// Page data asked of the device at a time: the driver's band buffer size.
constexpr size_t kPiece = orvela_drv::kBandBufferSize;

}  // namespace

PageStream::PageStream(const bool* cancel, SANE_Word resolution, unsigned device_x, unsigned device_y, bool bilevel)
    : pull_(cancel), resolution_(resolution), device_x_(device_x), device_y_(device_y), bilevel_(bilevel) {}

PageStream::~PageStream() { free(packed_); }

bool PageStream::init() { return decoder_.init(); }

size_t PageStream::memory_estimate(unsigned width, unsigned channels, SANE_Word resolution, unsigned device_x) {
    const double ratio = device_x != 0 ? static_cast<double>(resolution) / device_x : 1.0;
    const auto dw = static_cast<unsigned>(width * (ratio > 1.0 ? ratio : 1.0));
    // Rows of the rescaler, libjpeg's row groups (two of 16 rows), the input.
    return RowRescaler::memory_estimate(width, channels, dw) + size_t{32} * width * channels +
           2 * StreamDecoder::kMaxInput;
}

PageStream::Result PageStream::broken(SANE_Status status) {
    if (!broken_) status_ = status;
    broken_ = true;
    return Result::Broken;
}

PageStream::Result PageStream::fetch(bool may_wait) {
    for (;;) {
        if (pull_.ended()) {
            // An image that waited for all its bytes decodes now; any other
            // ended before the image did.
            return decoder_.end_input() ? Result::Ready : Result::Ended;
        }
        if (!may_wait) return Result::Wait;
        unsigned char* space = decoder_.input_space(kPiece);
        if (space == nullptr) return broken(SANE_STATUS_IO_ERROR);
        size_t got = 0;
        switch (pull_.pull(space, kPiece, &got)) {
        case orvela_protocol::PagePull::Result::Data:
            decoder_.commit_input(got);
            return Result::Ready;
        case orvela_protocol::PagePull::Result::Idle:
        case orvela_protocol::PagePull::Result::End:
            continue;
        case orvela_protocol::PagePull::Result::Cancelled:
            return Result::Cancelled;
        case orvela_protocol::PagePull::Result::Failed:
            return broken(SANE_STATUS_IO_ERROR);
        }
    }
}

PageStream::Result PageStream::open(bool may_wait) {
    if (broken_) return Result::Broken;
    while (!open_) {
        const StreamDecoder::Step step = decoder_.step(nullptr);
        if (step == StreamDecoder::Step::Failed) return broken(SANE_STATUS_IO_ERROR);
        if (step == StreamDecoder::Step::NeedData) {
            const Result r = fetch(may_wait);
            if (r != Result::Ready) return r;
            continue;
        }
        // The header: the frame must be one the device can send and one the
        // page path can serve, before anything is allocated for it.
        const unsigned w = decoder_.width(), h = decoder_.height(), c = decoder_.components();
        if (!servable_frame(w, h, c, {device_x_, device_y_})) return broken(SANE_STATUS_IO_ERROR);
        uint32_t dw = w, dh = h;
        if (static_cast<unsigned>(resolution_) != device_x_ && device_x_ != 0 &&
            !rescaled_page_size(w, h, resolution_, device_x_, &dw, &dh))
            return broken(SANE_STATUS_INVAL);
        if (!rescaler_.init(w, h, c, dw, dh)) return broken(SANE_STATUS_NO_MEM);
        pack_ = bilevel_ && c == 1;
        if (pack_ && (packed_ = static_cast<uint8_t*>(malloc((dw + 7) / 8))) == nullptr)
            return broken(SANE_STATUS_NO_MEM);
        shape_ = ORVELA_IMAGE_RAW{nullptr, pack_ ? (dw + 7) / 8 : dw, dh, c};
        open_ = true;
    }
    return Result::Ready;
}

PageStream::Result PageStream::decode_source_row(bool may_wait) {
    for (;;) {
        switch (decoder_.step(rescaler_.next_source_row())) {
        case StreamDecoder::Step::Row:
            rescaler_.commit_row();
            return Result::Ready;
        case StreamDecoder::Step::NeedData: {
            const Result r = fetch(may_wait);
            if (r != Result::Ready) return r;
            break;
        }
        case StreamDecoder::Step::Done:
            return Result::NoRow;
        default:
            return broken(SANE_STATUS_IO_ERROR);
        }
    }
}

PageStream::Result PageStream::next_row(bool may_wait, const uint8_t** row) {
    if (broken_) return Result::Broken;
    if (!open_) {
        const Result r = open(may_wait);
        if (r != Result::Ready) return r;
    }
    if (rescaler_.rows_made() >= rescaler_.height()) return Result::NoRow;
    while (!rescaler_.row_ready()) {
        const Result r = decode_source_row(may_wait);
        if (r == Result::NoRow) return broken(SANE_STATUS_IO_ERROR);  // cannot happen: rows ended early
        if (r != Result::Ready) return r;
    }
    // Rows that decode from the bytes at hand join the horizontal pass's
    // block; a failure shows again on the next call.
    while (rescaler_.wants_row_for_block() && decode_source_row(false) == Result::Ready) {
    }
    const uint8_t* out = rescaler_.make_row();
    if (pack_) {
        pack_bilevel_row(out, rescaler_.width(), packed_);
        out = packed_;
    }
    *row = last_row_ = out;
    return Result::Ready;
}

PageStream::Result PageStream::finish() {
    if (broken_) return Result::Broken;
    const uint8_t* row = nullptr;
    for (;;) {
        const Result r = next_row(true, &row);
        if (r == Result::NoRow) break;
        if (r != Result::Ready) return r;
    }
    for (;;) {
        const Result r = decode_source_row(true);
        if (r == Result::NoRow) break;
        if (r != Result::Ready) return r;
    }
    // Bytes after the end of the image belong to no row.
    while (!pull_.ended()) {
        unsigned char* scratch = decoder_.input_space(kPiece);
        if (scratch == nullptr) return broken(SANE_STATUS_IO_ERROR);
        size_t got = 0;
        switch (pull_.pull(scratch, kPiece, &got)) {
        case orvela_protocol::PagePull::Result::Cancelled:
            return Result::Cancelled;
        case orvela_protocol::PagePull::Result::Failed:
            return broken(SANE_STATUS_IO_ERROR);
        default:
            break;
        }
    }
    return Result::Done;
}

SCAN_RESULT PageStream::end_result() const {
    const ScanStatus& end = pull_.status();
    if (end.error_code == STATUS_OK) return SCAN_RESULT{SCAN_STATUS_GOOD, end.adfStatus};
    if (end.error_code == STATUS_SCANSTOPPED) return SCAN_RESULT{SCAN_STATUS_CANCELLED, STATUS_ADF_PAPER_EMPTY};
    return SCAN_RESULT{SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY};
}
