// Rescaling of a page that arrives row by row: the destination rows come out
// in order as soon as the source rows they read are in, with exactly the bytes
// that ScaleDownPage gives for the whole page (the same kernels, the same
// order of the passes, the engine's weights and inner loops), while only a
// window of rows is held.
//
//   page narrower (the usual case: 300 -> 200 dpi ...), cubic kernel:
//     source rows --8 at a time--> horizontal pass --> ring of rows --> vertical pass --> row
//   page wider (resolutions above 1200 dpi), Lanczos kernel:
//     source rows --> ring of rows --> vertical pass --> horizontal pass --> row
//   one side unchanged: only the other pass; both unchanged: rows as they come
//
// Use: while (!row_ready()) { write a source row into next_source_row();
// commit_row(); } then make_row(). Source rows past the last destination row
// are taken and dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/scan/imageproc/resample_engine.h"

class RowRescaler {
public:
    RowRescaler() = default;
    RowRescaler(const RowRescaler&) = delete;
    RowRescaler& operator=(const RowRescaler&) = delete;
    ~RowRescaler();

    // A page of w x h pixels of C (1 or 3) samples to dw x dh; false when the
    // sizes are unusable or memory ran out.
    bool init(unsigned w, unsigned h, unsigned C, unsigned dw, unsigned dh);
    // Bytes the rows held take (for the resource check before a scan).
    static size_t memory_estimate(unsigned w, unsigned C, unsigned dw);

    // Where the next source row goes (w x C bytes); commit_row takes it.
    uint8_t* next_source_row();
    void commit_row();
    // False when taking another source row now would overwrite rows that the
    // next destination row still reads (make a row first).
    bool can_take_row() const;
    // True while a row taken now would still join the block of rows that
    // the next horizontal pass works on (taking it saves work later).
    bool wants_row_for_block() const;

    // Whether the next destination row can be made from the rows taken.
    bool row_ready() const;
    // Makes the next destination row (dw x C bytes, valid until the next call).
    const uint8_t* make_row();

    unsigned rows_taken() const { return taken_; }
    unsigned rows_made() const { return made_; }
    unsigned width() const { return dw_; }
    unsigned height() const { return dh_; }

private:
    enum class Mode { Same, RowsOnly, ColumnsOnly, RowsFirst, ColumnsFirst };
    // Source rows destination row v reads (through the vertical pass).
    unsigned rows_needed(unsigned v) const;
    // Horizontal pass of the block rows [block_first_, taken_) into the ring.
    bool flush_block();
    uint8_t* ring_row(size_t r) { return ring_ + (r % ring_rows_) * ring_bytes_; }

    Mode mode_ = Mode::Same;
    unsigned w_ = 0, h_ = 0, C_ = 0, dw_ = 0, dh_ = 0;
    orvela::resample::PackedWeights wh_, wv_;
    uint8_t* block_ = nullptr;  // source rows waiting for the horizontal pass
    uint8_t* ring_ = nullptr;   // rows the vertical pass reads
    uint8_t* out_ = nullptr;    // the destination row made last
    uint8_t* mid_ = nullptr;    // the vertical pass's row before the horizontal one (page wider)
    uint8_t* spare_ = nullptr;  // source rows nobody needs any more
    const uint8_t** window_ = nullptr;
    size_t ring_rows_ = 0, ring_bytes_ = 0;
    unsigned block_first_ = 0;  // first source row in block_
    unsigned taken_ = 0, made_ = 0;
};
