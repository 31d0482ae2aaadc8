// The one rescaler of a page: source rows go in one at a time, destination
// rows come out in order as soon as the source rows they read are in, with
// exactly the bytes of the described two-pass scaling (the same kernels, the
// same order of the passes, the engine's weights), while only a window of
// rows is held. The page path feeds it from the decoder; ScaleDownPage from
// a page in memory.
//
//   page narrower (the usual case: 300 -> 200 dpi ...), cubic kernel:
//     source rows --8 at a time--> horizontal pass --> ring of rows --> vertical pass --> rows
//   page wider (resolutions above 1200 dpi), Lanczos kernel:
//     source rows --> ring of rows --> vertical pass --> horizontal pass --> rows
//   one side unchanged: only the other pass; both unchanged: rows as they come
//
// Destination rows are made a few at a time (the vector kernels share the
// work of their source rows), so a source row taken early saves work:
//
//   while (r.wants_row() || !r.row_ready()) { write row r.rows_taken() into
//       r.next_source_row() (or lend it: take_row); r.commit_row(); }
//   const uint8_t* row = r.make_row();
//
// A caller that has no row at hand may stop feeding as soon as row_ready().
// Source rows past the last one the destination rows read are taken and
// dropped.
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

    // A page of w x h pixels of C (1 or 3) samples to dw x dh; only the
    // destination rows [v0, v1) when v1 is not 0 (the first source row then
    // taken is the first they read). False when the sizes are unusable or
    // memory ran out. `level` picks the inner loops.
    bool init(unsigned w, unsigned h, unsigned C, unsigned dw, unsigned dh, orvela::resample::SimdLevel level,
              unsigned v0 = 0, unsigned v1 = 0);
    // One pass alone with `filter`, also between equal sizes (the described
    // whole-image steps): the rows' (to d wide) or the columns' (to d high).
    enum class Pass { Rows, Columns };
    bool init_pass(Pass pass, FilterFunc filter, unsigned w, unsigned h, unsigned C, unsigned d,
                   orvela::resample::SimdLevel level);

    // After init: destination rows [v0, v1) next (v1 not 0), with the weights
    // and memory kept; what the rows already made read is forgotten.
    void restart(unsigned v0, unsigned v1);

    // Where source row rows_taken() goes (w x C bytes); commit_row takes it.
    // take_row takes it where it lies, to stay there until the rescaling
    // ends (a page in memory).
    uint8_t* next_source_row();
    void commit_row();
    void take_row(const uint8_t* row);

    // Whether another source row now lets the next destination rows be made
    // together; whether the next one can be made from the rows taken; the
    // next one (dw x C bytes, valid until the next call).
    bool wants_row() const;
    bool row_ready() const;
    const uint8_t* make_row();
    // Destination row v made (between equal sizes: its source row taken) straight at page + v * stride.
    void write_into(uint8_t* page, size_t stride) { page_ = page, stride_ = stride; }

    unsigned rows_taken() const { return taken_; }
    unsigned rows_made() const { return made_; }
    unsigned width() const { return dw_; }
    unsigned height() const { return dh_; }

private:
    enum class Mode { Same, RowsOnly, ColumnsOnly, RowsFirst, ColumnsFirst };
    bool setup(Mode mode, FilterFunc filter, unsigned w, unsigned h, unsigned C, unsigned dw, unsigned dh,
               orvela::resample::SimdLevel level, unsigned v0, unsigned v1);
    bool columns() const { return mode_ != Mode::Same && mode_ != Mode::RowsOnly; }
    // Source rows destination row v reads.
    unsigned rows_needed(unsigned v) const;
    // The first source row still to be read by rows not yet made.
    size_t lowest_needed() const;
    bool can_take_row() const;
    // Destination rows from `from` that the rows taken make together in one
    // vertical group (at most kGroupRows), and the source rows [*lo, *hi)
    // they read.
    unsigned batch_rows(unsigned from, size_t* lo, size_t* hi) const;
    // Destination rows made together: a block of the horizontal kernel's
    // rows where it runs last, else one vertical group.
    unsigned batch_size() const;
    void make_batch();
    // The horizontal pass of the rows taken since the last one, into the ring.
    void pass_block();
    // Source row rows_taken() lies at `row` (a full block goes through the
    // horizontal pass first).
    void place(const uint8_t* row);

    Mode mode_ = Mode::Same;
    unsigned w_ = 0, h_ = 0, C_ = 0, dw_ = 0, dh_ = 0;
    unsigned end_ = 0;          // one past the last destination row made
    unsigned last_needed_ = 0;  // source rows any destination row reads
    const orvela::resample::RowKernels* kernels_ = nullptr;
    orvela::resample::PackedWeights wh_, wv_;
    orvela::resample::HorizontalScratch scratch_;
    size_t row_bytes_ = 0, out_bytes_ = 0, stride_ = 0;
    uint8_t* store_ = nullptr;        // source rows, slot r % slots_
    const uint8_t** rows_ = nullptr;  // where source row r lies (own slot or lent), same slots
    size_t slots_ = 0;
    uint8_t* ring_ = nullptr;         // rows after the horizontal pass (page narrower)
    size_t ring_rows_ = 0;
    uint8_t* mid_ = nullptr;          // rows after the vertical pass (page wider)
    uint8_t* out_ = nullptr;          // the destination rows made last
    uint8_t* page_ = nullptr;         // or there, row v at page_ + v * stride_
    uint8_t* spare_ = nullptr;        // source rows nobody reads
    const uint8_t** window_ = nullptr;
    const uint8_t* same_row_ = nullptr;
    unsigned taken_ = 0, made_ = 0;
    unsigned batch_first_ = 0, batch_end_ = 0;  // destination rows in out_
    unsigned passed_ = 0;                       // source rows through the horizontal pass (page narrower)
};
