// libjpeg on a source that suspends, on the caller's thread: the page's bytes
// are handed in as they arrive and rows are asked for one at a time. When the
// bytes run out before the next step is complete, libjpeg backs up to where
// that step began and the call says NeedData; after more bytes were added
// behind the unconsumed ones the same call is made again.
//
//   input_space/commit_input ---> [ unconsumed | new bytes ]
//                                        |
//   step():  read header --> Header (frame known, nothing large allocated yet)
//            start        --> Row, Row, ... (one row per call)
//            finish       --> Done (end of image seen)
//            any of them  --> NeedData (add bytes, call again) or Failed
//
// libjpeg's own error manager would end the host process on a corrupt
// stream: here a fatal error jumps back to the step, which ends in Failed
// (warnings are logged). A stream cut short never fails by itself: the
// decoder keeps saying NeedData, and the caller, who knows that no more
// bytes come, fails the page. libjpeg's arithmetic decoder cannot suspend:
// an arithmetic-coded frame decodes only once end_input() says every byte is
// in. The row pipeline (page_rows.h) decodes every page with it.
#pragma once

#include <csetjmp>
#include <cstddef>

#include "common/jpeg_private.h"

class LogHold;

class StreamDecoder {
public:
    enum class Step { NeedData, Header, Row, Done, Failed };
    // libjpeg's error manager of a decode, and where a fatal error jumps to.
    struct ErrorManager {
        jpeg_error_mgr pub;  // first: libjpeg sees only this part
        jmp_buf escape;
        LogHold* log = nullptr;  // where the decode's log lines go (null: the log)
    };

    StreamDecoder() = default;
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;
    ~StreamDecoder();

    // Creates the decompressor; false when the library or memory is missing.
    bool init();
    // The decode's log lines (the frame, libjpeg's messages) go to `log`,
    // for its owner to log later (null: straight to the log).
    void hold_log(LogHold* log) { err_.log = log; }

    // Room for `want` more bytes behind the unconsumed input (null when the
    // input would pass kMaxInput: a stream that libjpeg never moves on);
    // commit_input takes `size` of them.
    unsigned char* input_space(size_t want);
    void commit_input(size_t size);
    // Bytes handed in that libjpeg has not consumed yet.
    size_t unconsumed() const;
    // No more bytes will come. True when that lets a frame waiting for its
    // whole input go on (the caller then steps again).
    bool end_input();

    // The next step; a Row is written to `row` (width() x components() bytes).
    Step step(unsigned char* row);

    unsigned width() const { return width_; }
    unsigned height() const { return height_; }
    unsigned components() const { return components_; }
    unsigned rows_done() const { return rows_; }
    // The end of the image was decoded: the decode succeeded.
    bool done() const { return phase_ == Phase::Done; }

    // Unconsumed input above this means the stream is broken: no marker
    // segment or unit of entropy-coded data that libjpeg waits for whole is
    // that long.
    static constexpr size_t kMaxInput = size_t{1} << 20;
    // The input an arithmetic-coded frame may gather: the largest band.
    static constexpr size_t kMaxWholeInput = size_t{256} << 20;

private:
    enum class Phase { Header, Start, Rows, Finish, Done, Failed };
    struct Source {
        jpeg_source_mgr pub;  // first: libjpeg sees only this part
        StreamDecoder* self;
    };
    static void init_source(j_decompress_ptr) {}
    static boolean fill_input_buffer(j_decompress_ptr) { return FALSE; }  // suspend
    static void skip_input_data(j_decompress_ptr cinfo, long num_bytes);
    static boolean resync_to_restart(j_decompress_ptr cinfo, int desired);
    static void term_source(j_decompress_ptr) {}

    const JpegApi* api_ = nullptr;
    jpeg_decompress_struct cinfo_{};
    ErrorManager err_{};
    Source source_{};
    bool created_ = false;
    Phase phase_ = Phase::Header;
    unsigned char* input_ = nullptr;
    size_t capacity_ = 0;
    size_t skip_ = 0;  // bytes libjpeg skipped past the end of the input
    bool whole_input_ = false;  // the frame decodes only from its whole input
    bool input_ended_ = false;
    unsigned width_ = 0, height_ = 0, components_ = 0, rows_ = 0;
};
