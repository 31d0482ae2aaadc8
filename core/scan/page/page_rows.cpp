#include "core/scan/page/page_rows.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/alloc_fault.h"
#include "common/big_buffer.h"
#include "common/checked_size.h"
#include "common/debugtool.h"
#include "core/scan/imageproc/bilevel.h"

namespace {

// Page bytes asked of the source at a time: a band of the device's stream.
constexpr size_t kPiece = 65536;

}  // namespace

bool rescaled_page_size(uint32_t w, uint32_t h, SANE_Word resolution, unsigned device_x, uint32_t* dst_w,
                        uint32_t* dst_h, LogHold* log) {
    const double ratio = static_cast<double>(resolution) / device_x;
    const double dw = std::trunc(w * ratio + 0.00001);
    const double dh = std::trunc(ratio * h + 0.00001);
    DBG_HELD(log, "dst_img.img_width=%d, dst_img.img_height=%d\n", static_cast<int>(dw), static_cast<int>(dh));
    if (!(dw >= 1) || !(dh >= 1) || dw > 65500 * 8.0 || dh > 65500 * 8.0) return false;
    *dst_w = static_cast<uint32_t>(dw);
    *dst_h = static_cast<uint32_t>(dh);
    return true;
}

PageRows::PageRows(PageSource& source, SANE_Word resolution, DeviceTier tier, bool bilevel)
    : source_(source), resolution_(resolution), tier_(tier), bilevel_(bilevel) {}

PageRows::~PageRows() { free(packed_); }

bool PageRows::init() {
    if (!alloc_fault::fails(alloc_fault::Decoder) && decoder_.init()) return true;
    status_ = orvela_jpeg_api() != nullptr ? SANE_STATUS_NO_MEM : SANE_STATUS_IO_ERROR;
    return false;
}

size_t PageRows::memory_estimate(unsigned width, unsigned channels, SANE_Word resolution, unsigned device_x) {
    const double ratio = device_x != 0 ? static_cast<double>(resolution) / device_x : 1.0;
    const size_t widest = static_cast<size_t>(width * (ratio > 1.0 ? ratio : 1.0)) * channels;
    // The rescaler's ring (two windows of taps), blocks, batches and the
    // horizontal pass's scratch; libjpeg's row groups (two of 16 rows); the
    // input.
    const size_t taps = 2 * static_cast<size_t>(std::ceil(ratio > 1.0 ? 3.0 : 2.0 / ratio)) + 1;
    return (2 * taps + 48) * widest + size_t{72} * width * channels + 2 * StreamDecoder::kMaxInput;
}

PageRows::Result PageRows::broken(SANE_Status status) {
    if (!broken_) status_ = status;
    broken_ = true;
    return Result::Broken;
}

PageRows::Result PageRows::image_step_broken(SANE_Status status) {
    if (!broken_) image_step_failed_ = true;
    return broken(status);
}

PageRows::Result PageRows::decode_rest() {
    const auto decode_failed = [this](SANE_Status status) {
        image_step_failed_ = false;
        status_ = status;
        return Result::Broken;
    };
    std::unique_ptr<uint8_t[]> row(new (std::nothrow) uint8_t[size_t{decoder_.width()} * decoder_.components() + 1]);
    if (row == nullptr) return decode_failed(SANE_STATUS_NO_MEM);
    for (;;) {
        switch (decoder_.step(row.get())) {
        case StreamDecoder::Step::Row:
            break;
        case StreamDecoder::Step::Done:
            return Result::Done;
        case StreamDecoder::Step::NeedData: {
            const Result r = fetch(true);
            if (r == Result::Cancelled) return r;
            if (r != Result::Ready) return decode_failed(SANE_STATUS_IO_ERROR);
            break;
        }
        default:
            return decode_failed(SANE_STATUS_IO_ERROR);
        }
    }
}

PageRows::Result PageRows::fetch(bool may_wait) {
    unsigned char* space = decoder_.input_space(kPiece);
    if (space == nullptr) return broken(SANE_STATUS_IO_ERROR);
    size_t got = 0;
    switch (source_.read(space, kPiece, &got, may_wait)) {
    case PageSource::Got::Data:
        decoder_.commit_input(got);
        return Result::Ready;
    case PageSource::Got::Wait:
        return Result::Wait;
    case PageSource::Got::End:
        // An image that waited for all its bytes decodes now; any other
        // ended before the image did.
        return decoder_.end_input() ? Result::Ready : Result::Ended;
    case PageSource::Got::Cancelled:
        return Result::Cancelled;
    default:
        return broken(SANE_STATUS_IO_ERROR);
    }
}

PageRows::Result PageRows::open(bool may_wait) {
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
        LogHold* decode_log = log_ != nullptr ? &log_->decode : nullptr;
        LogHold* image_log = log_ != nullptr ? &log_->image : nullptr;
        if (!servable_frame(w, h, c, tier_, decode_log)) return broken(SANE_STATUS_IO_ERROR);
        uint32_t dw = w, dh = h;
        rescale_ = static_cast<unsigned>(resolution_) != tier_.x_dpi && tier_.x_dpi != 0;
        if (rescale_ && !rescaled_page_size(w, h, resolution_, tier_.x_dpi, &dw, &dh, image_log))
            return image_step_broken(SANE_STATUS_INVAL);
        if (alloc_fault::fails(alloc_fault::Rescaler) ||
            !rescaler_.init(w, h, c, dw, dh, orvela::resample::GetEngineSettings().level))
            return image_step_broken(SANE_STATUS_NO_MEM);
        if (rescale_) DBG_HELD(image_log, "Run into ScaleDownPage\n");
        pack_ = bilevel_ && c == 1;
        if (pack_) {
            DBG_HELD(image_log, "Convert gray image to 1 bit B/W image!\n");
            if (alloc_fault::fails(alloc_fault::Packing) ||
                (packed_ = static_cast<uint8_t*>(malloc((dw + 7) / 8))) == nullptr)
                return image_step_broken(SANE_STATUS_NO_MEM);
        }
        shape_ = ORVELA_IMAGE_RAW{nullptr, pack_ ? (dw + 7) / 8 : dw, dh, c};
        open_ = true;
    }
    return Result::Ready;
}

PageRows::Result PageRows::decode_source_row(bool may_wait) {
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

PageRows::Result PageRows::next_row(bool may_wait, const uint8_t** row) {
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
    // Rows that decode from the bytes at hand join the next rows' batch; a
    // failure shows again on the next call.
    while (rescaler_.wants_row() && decode_source_row(may_wait && batches_wait_) == Result::Ready) {
    }
    const uint8_t* out = rescaler_.make_row();
    if (pack_) {
        pack_bilevel_row(out, rescaler_.width(), packed_);
        out = packed_;
    }
    *row = last_row_ = out;
    return Result::Ready;
}

PageRows::Result PageRows::finish() {
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
    switch (source_.drain()) {
    case PageSource::Got::End:
        return Result::Done;
    case PageSource::Got::Cancelled:
        return Result::Cancelled;
    default:
        return broken(SANE_STATUS_IO_ERROR);
    }
}

SANE_Status read_whole_page(PageRows& rows, ORVELA_IMAGE_RAW* page) {
    rows.wait_for_batches();
    PageRows::Result r = rows.open(true);
    unsigned char* buffer = nullptr;
    if (r == PageRows::Result::Ready) {
        const ORVELA_IMAGE_RAW& shape = rows.shape();
        const size_t row_bytes = static_cast<size_t>(shape.img_width) * shape.img_channel;
        if (!alloc_fault::fails(alloc_fault::PageBuffer))
            buffer = static_cast<unsigned char*>(big_buffer::allocate(checked_bytes(row_bytes, shape.img_height, 1)));
        // Without a rescale the page's buffer is the decode's own.
        if (buffer == nullptr && !rows.rescales()) return SANE_STATUS_NO_MEM;
        if (buffer == nullptr) {
            r = rows.image_step_broken(SANE_STATUS_NO_MEM);
        } else {
            const big_buffer::Populate populate(buffer, row_bytes * shape.img_height);
            rows.make_rows_into(buffer);
            const uint8_t* row = nullptr;
            for (unsigned y = 0; y < shape.img_height && (r = rows.next_row(true, &row)) == PageRows::Result::Ready;
                 ++y)
                if (row != buffer + y * row_bytes) memcpy(buffer + y * row_bytes, row, row_bytes);
            if (r == PageRows::Result::Ready) r = rows.finish();
            if (r == PageRows::Result::Done) {
                *page = ORVELA_IMAGE_RAW{buffer, shape.img_width, shape.img_height, shape.img_channel};
                return SANE_STATUS_GOOD;
            }
        }
    }
    free(buffer);
    if (r == PageRows::Result::Broken && rows.image_step_failed()) r = rows.decode_rest();
    if (r == PageRows::Result::Done) return rows.status();  // decoded well; the rescale or packing failed
    if (r == PageRows::Result::Cancelled) return SANE_STATUS_CANCELLED;
    return r == PageRows::Result::Broken ? rows.status() : SANE_STATUS_IO_ERROR;
}
