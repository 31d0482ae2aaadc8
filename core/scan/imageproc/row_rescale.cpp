#include "core/scan/imageproc/row_rescale.h"

#include <cstdlib>

#include "core/scan/imageproc/resample.h"

using orvela::resample::HorizontalJob;
using orvela::resample::PackedWeights;

namespace {

// Source rows taken into a block before the horizontal pass runs over them
// (the vector code works on 4 or 8 rows at once).
constexpr unsigned kBlockRows = 8;

// The ring below relies on the first tap never moving back.
bool ordered(const PackedWeights& wt) {
    for (unsigned v = 1; v < wt.dst_size; ++v)
        if (wt.left[v] < wt.left[v - 1]) return false;
    return true;
}

uint8_t* allocate(size_t bytes) { return static_cast<uint8_t*>(malloc(bytes != 0 ? bytes : 1)); }

}  // namespace

RowRescaler::~RowRescaler() {
    free(block_);
    free(ring_);
    free(out_);
    free(mid_);
    free(spare_);
    free(window_);
}

size_t RowRescaler::memory_estimate(unsigned w, unsigned C, unsigned dw) {
    const size_t widest = static_cast<size_t>(w > dw ? w : dw) * C;
    return 64 * widest;  // block, ring (taps and a block's slack), single rows
}

bool RowRescaler::init(unsigned w, unsigned h, unsigned C, unsigned dw, unsigned dh) {
    if ((C != 1 && C != 3) || w == 0 || h == 0 || dw == 0 || dh == 0) return false;
    w_ = w, h_ = h, C_ = C, dw_ = dw, dh_ = dh;
    // The kernel and the order of the passes that ScaleDownPage chooses.
    const FilterFunc filter = orvela::resample::PageFilter(w, dw);
    if (dw == w) mode_ = dh == h ? Mode::Same : Mode::ColumnsOnly;
    else if (dh == h) mode_ = Mode::RowsOnly;
    else mode_ = dw > w ? Mode::ColumnsFirst : Mode::RowsFirst;

    const bool rows = mode_ == Mode::RowsOnly || mode_ == Mode::RowsFirst || mode_ == Mode::ColumnsFirst;
    const bool columns = mode_ == Mode::ColumnsOnly || mode_ == Mode::RowsFirst || mode_ == Mode::ColumnsFirst;
    if (rows && !wh_.build(filter, dw, w)) return false;
    if (columns && (!wv_.build(filter, dh, h) || !ordered(wv_))) return false;

    const size_t src_bytes = static_cast<size_t>(w) * C;
    const size_t dst_bytes = static_cast<size_t>(dw) * C;
    out_ = allocate(dst_bytes);
    spare_ = allocate(src_bytes);
    if (out_ == nullptr || spare_ == nullptr) return false;
    if (mode_ == Mode::RowsOnly || mode_ == Mode::RowsFirst) {
        block_ = allocate(src_bytes * (mode_ == Mode::RowsFirst ? kBlockRows : 1));
        if (block_ == nullptr) return false;
    }
    if (columns) {
        // A destination row's taps, a block of rows taken ahead, and slack.
        ring_rows_ = wv_.taps + 2 * kBlockRows;
        ring_bytes_ = mode_ == Mode::RowsFirst ? dst_bytes : src_bytes;
        ring_ = allocate(ring_rows_ * ring_bytes_);
        window_ = static_cast<const uint8_t**>(malloc(wv_.taps * sizeof(const uint8_t*) + 1));
        if (ring_ == nullptr || window_ == nullptr) return false;
    }
    if (mode_ == Mode::ColumnsFirst && (mid_ = allocate(src_bytes)) == nullptr) return false;
    return true;
}

unsigned RowRescaler::rows_needed(unsigned v) const {
    if (mode_ == Mode::Same || mode_ == Mode::RowsOnly) return v + 1;
    return wv_.left[v] + wv_.count[v];
}

bool RowRescaler::row_ready() const { return made_ < dh_ && taken_ >= rows_needed(made_); }

bool RowRescaler::can_take_row() const {
    if (made_ >= dh_ || taken_ >= h_) return true;  // dropped
    switch (mode_) {
    case Mode::Same:
    case Mode::RowsOnly:
        return taken_ == made_;
    case Mode::RowsFirst:
        // A full block is passed into the ring first, over rows that the next
        // destination row must no longer read.
        return taken_ - block_first_ < kBlockRows || block_first_ + kBlockRows <= wv_.left[made_] + ring_rows_;
    default:
        return taken_ + 1 <= wv_.left[made_] + ring_rows_;
    }
}

bool RowRescaler::wants_row_for_block() const {
    return mode_ == Mode::RowsFirst && made_ < dh_ && taken_ < h_ && taken_ - block_first_ < kBlockRows &&
           can_take_row();
}

uint8_t* RowRescaler::next_source_row() {
    if (made_ >= dh_ || taken_ >= h_) return spare_;
    switch (mode_) {
    case Mode::Same:
        return out_;
    case Mode::RowsOnly:
        return block_;
    case Mode::RowsFirst:
        if (taken_ - block_first_ == kBlockRows) flush_block();
        return block_ + static_cast<size_t>(taken_ - block_first_) * w_ * C_;
    default:
        return ring_row(taken_);
    }
}

void RowRescaler::commit_row() { ++taken_; }

bool RowRescaler::flush_block() {
    const size_t src_bytes = static_cast<size_t>(w_) * C_;
    for (unsigned r = block_first_; r < taken_;) {
        // Rows that lie one after the other in the ring.
        const size_t slot = r % ring_rows_;
        unsigned n = taken_ - r;
        if (slot + n > ring_rows_) n = static_cast<unsigned>(ring_rows_ - slot);
        const HorizontalJob job{&wh_, block_ + (r - block_first_) * src_bytes, ring_row(r), w_, C_};
        orvela::resample::RunHorizontal(job, n);
        r += n;
    }
    block_first_ = taken_;
    return true;
}

const uint8_t* RowRescaler::make_row() {
    const unsigned v = made_++;
    switch (mode_) {
    case Mode::Same:
        return out_;
    case Mode::RowsOnly:
        orvela::resample::RunHorizontal(HorizontalJob{&wh_, block_, out_, w_, C_}, 1);
        return out_;
    default:
        break;
    }
    if (mode_ == Mode::RowsFirst && block_first_ < rows_needed(v)) flush_block();
    for (unsigned k = 0; k < wv_.count[v]; ++k) window_[k] = ring_row(wv_.left[v] + k);
    if (mode_ == Mode::ColumnsFirst) {
        orvela::resample::VerticalWindowRow(wv_, v, window_, static_cast<size_t>(w_) * C_, mid_);
        orvela::resample::RunHorizontal(HorizontalJob{&wh_, mid_, out_, w_, C_}, 1);
    } else {
        orvela::resample::VerticalWindowRow(wv_, v, window_, ring_bytes_, out_);
    }
    return out_;
}
