#include "core/scan/page/stream_decoder.h"

#include <cstdlib>
#include <cstring>

#include "common/debugtool.h"

namespace {

void log_jpeg_message(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX] = {};
    cinfo->err->format_message(cinfo, text);
    DBG_HELD(reinterpret_cast<StreamDecoder::ErrorManager*>(cinfo->err)->log, "libjpeg: %s\n", text);
}

[[noreturn]] void on_fatal_error(j_common_ptr cinfo) {
    log_jpeg_message(cinfo);
    longjmp(reinterpret_cast<StreamDecoder::ErrorManager*>(cinfo->err)->escape, 1);
}

void on_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    log_jpeg_message(cinfo);
    cinfo->err->num_warnings++;
}

}  // namespace

StreamDecoder::~StreamDecoder() {
    if (created_) api_->destroy_decompress(&cinfo_);
    free(input_);
}

bool StreamDecoder::init() {
    api_ = orvela_jpeg_api();
    if (api_ == nullptr) return false;
    cinfo_.err = api_->std_error(&err_.pub);
    err_.pub.error_exit = on_fatal_error;
    err_.pub.emit_message = on_message;
    err_.pub.output_message = log_jpeg_message;
    if (setjmp(err_.escape) != 0) return false;  // no memory for the decompressor
    api_->create_decompress(&cinfo_);
    created_ = true;
    source_.self = this;
    source_.pub.init_source = init_source;
    source_.pub.fill_input_buffer = fill_input_buffer;
    source_.pub.skip_input_data = skip_input_data;
    source_.pub.resync_to_restart = resync_to_restart;
    source_.pub.term_source = term_source;
    source_.pub.next_input_byte = nullptr;
    source_.pub.bytes_in_buffer = 0;
    cinfo_.src = &source_.pub;
    return true;
}

void StreamDecoder::skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
    if (num_bytes <= 0) return;
    auto* source = reinterpret_cast<Source*>(cinfo->src);
    jpeg_source_mgr& pub = source->pub;
    const auto n = static_cast<size_t>(num_bytes);
    if (n <= pub.bytes_in_buffer) {
        pub.next_input_byte += n;
        pub.bytes_in_buffer -= n;
        return;
    }
    // The rest is skipped from the bytes still to come.
    source->self->skip_ += n - pub.bytes_in_buffer;
    pub.next_input_byte += pub.bytes_in_buffer;
    pub.bytes_in_buffer = 0;
}

boolean StreamDecoder::resync_to_restart(j_decompress_ptr cinfo, int desired) {
    return reinterpret_cast<Source*>(cinfo->src)->self->api_->resync_to_restart(cinfo, desired);
}

size_t StreamDecoder::unconsumed() const { return source_.pub.bytes_in_buffer; }

bool StreamDecoder::end_input() {
    const bool unblocks = whole_input_ && !input_ended_;
    input_ended_ = true;
    return unblocks;
}

unsigned char* StreamDecoder::input_space(size_t want) {
    // The unconsumed bytes move to the front; libjpeg keeps no pointer into
    // the input between calls but the source's own.
    const size_t keep = source_.pub.bytes_in_buffer;
    const size_t limit = whole_input_ ? kMaxWholeInput : kMaxInput;
    if (keep > limit || want > limit) return nullptr;
    if (keep != 0 && source_.pub.next_input_byte != input_) memmove(input_, source_.pub.next_input_byte, keep);
    if (keep + want > capacity_) {
        // Doubling: a frame that gathers its whole input grows by a band at a time.
        const size_t size = keep + want > 2 * capacity_ ? keep + want : 2 * capacity_;
        auto* grown = static_cast<unsigned char*>(realloc(input_, size));
        if (grown == nullptr) return nullptr;
        input_ = grown;
        capacity_ = size;
    }
    source_.pub.next_input_byte = input_;
    return input_ + keep;
}

void StreamDecoder::commit_input(size_t size) {
    size_t skipped = 0;
    if (skip_ > 0) {  // nothing was left unconsumed then: the new bytes are at the front
        skipped = skip_ < size ? skip_ : size;
        skip_ -= skipped;
    }
    source_.pub.next_input_byte = input_ + skipped;
    source_.pub.bytes_in_buffer += size - skipped;
}

StreamDecoder::Step StreamDecoder::step(unsigned char* row) {
    if (phase_ == Phase::Failed || !created_) return Step::Failed;
    if (phase_ == Phase::Done) return Step::Done;
    if (setjmp(err_.escape) != 0) {
        phase_ = Phase::Failed;
        return Step::Failed;
    }
    switch (phase_) {
    case Phase::Header:
        if (api_->read_header(&cinfo_, TRUE) == JPEG_SUSPENDED) return Step::NeedData;
        // The library's version is that of the API the backend is written to.
        DBG_HELD(err_.log, "libjpeg version: %d%c\n", 9, 'e');
        DBG_HELD(err_.log, "cinfo.image_width=%d\n", cinfo_.image_width);
        DBG_HELD(err_.log, "cinfo.image_height=%d\n", cinfo_.image_height);
        api_->calc_output_dimensions(&cinfo_);
        DBG_HELD(err_.log, "cinfo.output_width=%d\n", cinfo_.output_width);
        DBG_HELD(err_.log, "cinfo.output_height=%d\n", cinfo_.output_height);
        DBG_HELD(err_.log, "cinfo.output_components=%d\n", cinfo_.output_components);
        width_ = cinfo_.output_width;
        height_ = cinfo_.output_height;
        components_ = static_cast<unsigned>(cinfo_.output_components);
        whole_input_ = cinfo_.arith_code != 0;
        phase_ = Phase::Start;
        return Step::Header;
    case Phase::Start:
        if (whole_input_ && !input_ended_) return Step::NeedData;
        if (!api_->start_decompress(&cinfo_)) return Step::NeedData;
        phase_ = height_ > 0 ? Phase::Rows : Phase::Finish;
        return step(row);
    case Phase::Rows: {
        JSAMPROW rows[1] = {row};
        if (api_->read_scanlines(&cinfo_, rows, 1) != 1) return Step::NeedData;
        if (++rows_ == height_) phase_ = Phase::Finish;
        return Step::Row;
    }
    case Phase::Finish:
        if (!api_->finish_decompress(&cinfo_)) return Step::NeedData;
        phase_ = Phase::Done;
        return Step::Done;
    default:
        return Step::Failed;
    }
}
