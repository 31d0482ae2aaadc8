#include "core/scan/imageproc/row_rescale.h"

#include <cstdlib>

using orvela::resample::GroupSpanCapacity;
using orvela::resample::kGroupRows;
using orvela::resample::PackedWeights;

namespace {

// Source rows taken into a block before the horizontal pass runs over them
// (the vector code works on up to 16 rows at once: two blocks of 8 lanes);
// also the rows a pass of the width alone makes at once.
constexpr unsigned kBlockRows = 16;

// The ring below relies on the first tap never moving back.
bool ordered(const PackedWeights& wt) {
    for (unsigned v = 1; v < wt.dst_size; ++v)
        if (wt.left[v] < wt.left[v - 1]) return false;
    return true;
}

template <class T>
T* allocate(size_t count) {
    return static_cast<T*>(malloc(count != 0 ? count * sizeof(T) : 1));
}

}  // namespace

RowRescaler::~RowRescaler() {
    free(store_);
    free(rows_);
    free(ring_);
    free(mid_);
    free(out_);
    free(spare_);
    free(window_);
}

bool RowRescaler::init(unsigned w, unsigned h, unsigned C, unsigned dw, unsigned dh,
                       orvela::resample::SimdLevel level, unsigned v0, unsigned v1) {
    // The kernel and the order of the passes of the described page scaling.
    Mode mode = dw > w ? Mode::ColumnsFirst : Mode::RowsFirst;
    if (dw == w) mode = dh == h ? Mode::Same : Mode::ColumnsOnly;
    else if (dh == h) mode = Mode::RowsOnly;
    return setup(mode, orvela::resample::PageFilter(w, dw), w, h, C, dw, dh, level, v0, v1);
}

bool RowRescaler::init_pass(Pass pass, FilterFunc filter, unsigned w, unsigned h, unsigned C, unsigned d,
                            orvela::resample::SimdLevel level) {
    return pass == Pass::Rows ? setup(Mode::RowsOnly, filter, w, h, C, d, h, level, 0, 0)
                              : setup(Mode::ColumnsOnly, filter, w, h, C, w, d, level, 0, 0);
}

bool RowRescaler::setup(Mode mode, FilterFunc filter, unsigned w, unsigned h, unsigned C, unsigned dw, unsigned dh,
                        orvela::resample::SimdLevel level, unsigned v0, unsigned v1) {
    if (v1 == 0 || v1 > dh) v1 = dh;
    if ((C != 1 && C != 3) || w == 0 || h == 0 || dw == 0 || dh == 0 || v0 >= v1) return false;
    mode_ = mode;
    w_ = w, h_ = h, C_ = C, dw_ = dw, dh_ = dh;

    const bool rows_pass = mode_ == Mode::RowsOnly || mode_ == Mode::RowsFirst || mode_ == Mode::ColumnsFirst;
    if (rows_pass && (!wh_.build(filter, dw, w) || !scratch_.allocate(level, wh_, C))) return false;
    if (columns() && (!wv_.build(filter, dh, h) || !ordered(wv_))) return false;
    kernels_ = &orvela::resample::KernelsFor(level);

    row_bytes_ = static_cast<size_t>(w) * C;
    out_bytes_ = static_cast<size_t>(dw) * C;
    const size_t ring = columns() ? GroupSpanCapacity(wv_) + 2 * kBlockRows : 0;
    slots_ = mode_ == Mode::Same ? 1 : (mode_ == Mode::RowsOnly || mode_ == Mode::RowsFirst) ? kBlockRows : ring;
    store_ = allocate<uint8_t>(slots_ * row_bytes_);
    rows_ = allocate<const uint8_t*>(slots_);
    spare_ = allocate<uint8_t>(row_bytes_);
    out_ = allocate<uint8_t>(batch_size() * out_bytes_);
    if (store_ == nullptr || rows_ == nullptr || spare_ == nullptr || out_ == nullptr) return false;
    if (columns() && (window_ = allocate<const uint8_t*>(GroupSpanCapacity(wv_))) == nullptr) return false;
    if (mode_ == Mode::RowsFirst && (ring_ = allocate<uint8_t>((ring_rows_ = ring) * out_bytes_)) == nullptr)
        return false;
    if (mode_ == Mode::ColumnsFirst && (mid_ = allocate<uint8_t>(kBlockRows * row_bytes_)) == nullptr) return false;

    restart(v0, v1);
    return true;
}

void RowRescaler::restart(unsigned v0, unsigned v1) {
    end_ = v1 < dh_ ? v1 : dh_;
    last_needed_ = 0;
    for (unsigned v = v0; v < end_; ++v)
        if (rows_needed(v) > last_needed_) last_needed_ = rows_needed(v);
    taken_ = passed_ = v0 == 0 ? 0 : (columns() ? wv_.left[v0] : v0);
    made_ = batch_first_ = batch_end_ = v0;
}

unsigned RowRescaler::rows_needed(unsigned v) const {
    return columns() ? wv_.left[v] + wv_.count[v] : v + 1;
}

size_t RowRescaler::lowest_needed() const {
    if (batch_end_ >= end_) return SIZE_MAX;
    return columns() ? wv_.left[batch_end_] : batch_end_;
}

bool RowRescaler::can_take_row() const {
    if (taken_ >= last_needed_) return true;  // dropped
    switch (mode_) {
    case Mode::Same:
        return taken_ == made_;
    case Mode::RowsOnly:
        return taken_ < batch_end_ + kBlockRows;
    case Mode::RowsFirst:
        // A full block goes through the horizontal pass first, into ring
        // rows that the rows not yet made no longer read.
        return taken_ - passed_ < kBlockRows || lowest_needed() == SIZE_MAX ||
               taken_ - 1 < lowest_needed() + ring_rows_;
    default:
        return lowest_needed() == SIZE_MAX || taken_ < lowest_needed() + slots_;
    }
}

bool RowRescaler::wants_row() const {
    if (taken_ >= last_needed_ || taken_ >= h_ || batch_end_ >= end_ || !can_take_row()) return false;
    const unsigned batch = batch_size();
    const unsigned last = batch_end_ + batch < end_ ? batch_end_ + batch : end_;
    for (unsigned v = batch_end_; v < last; ++v)
        if (taken_ < rows_needed(v)) return true;
    // A block begun is filled before its pass.
    return mode_ == Mode::RowsFirst && taken_ != passed_ && taken_ - passed_ < kBlockRows;
}

bool RowRescaler::row_ready() const { return made_ < batch_end_ || (made_ < end_ && taken_ >= rows_needed(made_)); }

void RowRescaler::place(const uint8_t* row) {
    if (mode_ == Mode::RowsFirst && taken_ - passed_ == kBlockRows) pass_block();
    rows_[taken_ % slots_] = row;
}

uint8_t* RowRescaler::next_source_row() {
    if (taken_ >= last_needed_) return spare_;
    uint8_t* row = mode_ == Mode::Same && page_ != nullptr ? page_ + size_t{taken_} * stride_
                                                           : store_ + (taken_ % slots_) * row_bytes_;
    place(row);
    return row;
}

void RowRescaler::commit_row() { ++taken_; }

void RowRescaler::take_row(const uint8_t* row) {
    if (taken_ < last_needed_) place(row);
    ++taken_;
}

void RowRescaler::pass_block() {
    const unsigned end = taken_ < last_needed_ ? taken_ : last_needed_;
    for (unsigned r = passed_; r < end;) {
        const unsigned n = end - r < kBlockRows ? end - r : kBlockRows;
        const uint8_t* src[kBlockRows];
        uint8_t* dst[kBlockRows];
        for (unsigned i = 0; i < n; ++i) {
            src[i] = rows_[(r + i) % slots_];
            dst[i] = ring_ + ((r + i) % ring_rows_) * out_bytes_;
        }
        kernels_->horizontal(wh_, C_, src, dst, n, scratch_);
        r += n;
    }
    if (end > passed_) passed_ = end;
}

unsigned RowRescaler::batch_size() const {
    if (mode_ == Mode::Same) return 1;
    // The horizontal kernel works on blocks of rows (as many as its vector
    // lanes): fed fewer, it would leave lanes idle.
    return mode_ == Mode::RowsOnly || mode_ == Mode::ColumnsFirst ? kBlockRows : kGroupRows;
}

unsigned RowRescaler::batch_rows(unsigned from, size_t* lo, size_t* hi) const {
    *lo = *hi = wv_.left[from];
    const size_t have = taken_ < last_needed_ ? taken_ : last_needed_;
    unsigned D = 0;
    while (D < kGroupRows && from + D < end_) {
        const unsigned v = from + D;
        const size_t reach = wv_.left[v] + wv_.count[v] > *hi ? wv_.left[v] + wv_.count[v] : *hi;
        if (reach > have || reach - *lo > GroupSpanCapacity(wv_)) break;
        *hi = reach;
        ++D;
    }
    return D;
}

void RowRescaler::make_batch() {
    batch_first_ = made_;
    uint8_t* outs[kBlockRows];
    for (unsigned i = 0; i < batch_size() && made_ + i < end_; ++i)
        outs[i] = page_ != nullptr ? page_ + size_t{made_ + i} * stride_ : out_ + i * out_bytes_;
    if (mode_ == Mode::Same) {
        same_row_ = rows_[made_ % slots_];
        batch_end_ = made_ + 1;
        return;
    }
    if (mode_ == Mode::RowsOnly) {
        const unsigned have = taken_ < last_needed_ ? taken_ : last_needed_;
        const unsigned n = have - made_ < kBlockRows ? have - made_ : kBlockRows;
        const uint8_t* src[kBlockRows];
        for (unsigned i = 0; i < n; ++i) src[i] = rows_[(made_ + i) % slots_];
        kernels_->horizontal(wh_, C_, src, outs, n, scratch_);
        batch_end_ = made_ + n;
        return;
    }
    size_t lo = 0, hi = 0;
    if (mode_ == Mode::ColumnsFirst) {
        // Vertical groups into a block of rows, then the block's horizontal pass.
        uint8_t* mids[kBlockRows];
        for (unsigned g = 0; g < kBlockRows; ++g) mids[g] = mid_ + g * row_bytes_;
        unsigned D = 0;
        while (D + kGroupRows <= kBlockRows) {
            const unsigned n = made_ + D < end_ ? batch_rows(made_ + D, &lo, &hi) : 0;
            if (n == 0) break;
            for (size_t r = lo; r < hi; ++r) window_[r - lo] = rows_[r % slots_];
            kernels_->vertical(wv_, made_ + D, n, window_, lo, row_bytes_, mids + D);
            D += n;
        }
        kernels_->horizontal(wh_, C_, mids, outs, D, scratch_);
        batch_end_ = made_ + D;
        return;
    }
    const unsigned D = batch_rows(made_, &lo, &hi);
    if (mode_ == Mode::RowsFirst) {
        if (hi > passed_) pass_block();
        for (size_t r = lo; r < hi; ++r) window_[r - lo] = ring_ + (r % ring_rows_) * out_bytes_;
        kernels_->vertical(wv_, made_, D, window_, lo, out_bytes_, outs);
    } else {
        for (size_t r = lo; r < hi; ++r) window_[r - lo] = rows_[r % slots_];
        kernels_->vertical(wv_, made_, D, window_, lo, row_bytes_, outs);
    }
    batch_end_ = made_ + D;
}

const uint8_t* RowRescaler::make_row() {
    if (made_ == batch_end_) make_batch();
    const unsigned i = made_++ - batch_first_;
    if (mode_ == Mode::Same) return same_row_;
    return page_ != nullptr ? page_ + size_t{batch_first_ + i} * stride_ : out_ + i * out_bytes_;
}
