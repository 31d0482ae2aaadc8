#include "common/jpegdecompress.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "common/jpeg_private.h"

// One decode, start to end:
//
//   JPEGDecompressStart ── source manager allocated
//        │  needThread: worker runs decodethread, Start returns at once
//        ▼
//   decodethread: header ─ start ─ rows to the callback (until the last row,
//        │        a cancel, a band failure or a library error)
//        ▼
//   finish (all rows read) or abandon (anything else); decompressor
//   destroyed, row buffer and source manager released
//        ▼
//   worker end: either the worker clears workID and releases its own thread
//   (nobody waits for it yet), or JPEGDecompressEnd has already taken workID
//   and joins it. The two race on one atomic exchange, so a worker is joined
//   or detached exactly once.

namespace {

// End-of-image marker served after the end of the stream or a failed band;
// static, so the library may keep pointing at it after the call.
const JOCTET kEndOfImage[2] = {0xFF, 0xD9};

ov_jpeg_source_mgr* sourceOf(j_decompress_ptr cinfo) {
    return cinfo != nullptr ? reinterpret_cast<ov_jpeg_source_mgr*>(cinfo->src) : nullptr;
}

void serveEndOfImage(ov_jpeg_source_mgr* src) {
    src->jpegSourceMgr.next_input_byte = kEndOfImage;
    src->jpegSourceMgr.bytes_in_buffer = sizeof kEndOfImage;
}

void init_source(j_decompress_ptr cinfo) {
    DBG_INFO("Enter in %s\n", "init_source");
    ov_jpeg_source_mgr* src = sourceOf(cinfo);
    if (src == nullptr) return;
    src->jpegSourceMgr.next_input_byte = nullptr;
    src->jpegSourceMgr.bytes_in_buffer = 0;
}

// Asks the band function for the next band. Its status decides: 0 with 1 to
// 32768 bytes is data; 5 ends the stream with an end-of-image marker (the
// decode finishes normally); anything else, and a band that is empty or
// larger than the cache, is a failure: the marker is served and the library
// is told to suspend, which the row loop takes as the end of the decode.
// After the end or a failure the band function is not called again.
boolean fill_input_buffer(j_decompress_ptr cinfo) {
    DBG_INFO("Enter in %s\n", "fill_input_buffer");
    ov_jpeg_source_mgr* src = sourceOf(cinfo);
    if (src == nullptr || src->getBandFunc == nullptr) {
        if (src != nullptr) {
            src->bandFailed = src->streamEnded = true;
            serveEndOfImage(src);
        }
        return FALSE;
    }
    if (src->streamEnded) {
        serveEndOfImage(src);
        return src->bandFailed ? FALSE : TRUE;
    }

    size_t size = 0;
    int status = 9;  // a band function that throws counts as an I/O failure
    try {
        status = src->getBandFunc(reinterpret_cast<char*>(src->CACHE), &size);
    } catch (...) {
        size = 0;
    }
    DBG_INFO("result = %d, get %ld bytes\n", status, static_cast<long>(size));

    if (status == 0 && size > 0 && size <= sizeof src->CACHE) {
        src->jpegSourceMgr.next_input_byte = src->CACHE;
        src->jpegSourceMgr.bytes_in_buffer = size;
        return TRUE;
    }
    src->streamEnded = true;
    src->bandFailed = (status != 5);
    if (src->bandFailed) DBG_INFO("band function failed: status %d, %ld bytes\n", status, static_cast<long>(size));
    serveEndOfImage(src);
    return src->bandFailed ? FALSE : TRUE;
}

// Passes over num_bytes of the stream, refilling as often as needed. It stops
// at the end of the stream or a failure, leaving the end-of-image marker to be
// read, so that a marker length beyond the data cannot make it loop.
void skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
    DBG_INFO("Enter in %s\n", "skip_input_data");
    ov_jpeg_source_mgr* src = sourceOf(cinfo);
    if (src == nullptr || num_bytes <= 0) return;
    size_t left = static_cast<size_t>(num_bytes);
    while (left > src->jpegSourceMgr.bytes_in_buffer) {
        left -= src->jpegSourceMgr.bytes_in_buffer;
        src->jpegSourceMgr.bytes_in_buffer = 0;
        fill_input_buffer(cinfo);
        if (src->streamEnded) return;
    }
    src->jpegSourceMgr.next_input_byte += left;
    src->jpegSourceMgr.bytes_in_buffer -= left;
}

void term_source(j_decompress_ptr cinfo) {
    DBG_INFO("Enter in %s\n", "term_source");
    ov_jpeg_source_mgr* src = sourceOf(cinfo);
    if (src == nullptr) return;
    src->jpegSourceMgr.next_input_byte = nullptr;
    src->jpegSourceMgr.bytes_in_buffer = 0;
}

// The library's messages go to the diagnostic log, never to the host's
// standard error.
void output_message(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    cinfo->err->format_message(cinfo, text);
    DBG_INFO("libjpeg: %s\n", text);
}

// Never returns to the library (which would end the process): back to the
// recovery point of the decode.
void my_error_exit(j_common_ptr cinfo) {
    DBG_INFO("Enter in %s\n", "my_error_exit");
    my_error_ptr err = reinterpret_cast<my_error_ptr>(cinfo->err);
    err->pub.output_message(cinfo);
    longjmp(err->setjmp_buffer, 1);
}

// Everything of a decode that must survive a longjmp lives here, on the heap:
// it is reached through one pointer that does not change after setjmp.
struct DecodeState {
    struct jpeg_decompress_struct cinfo;
    my_error_mgr jerr;
    unsigned char* row;
    bool completed;  // all rows read and the decompressor finished
};

bool isCancelled(DecodeInfo* info) {
    return std::atomic_ref<bool>(info->cancel).load(std::memory_order_acquire);
}

// The most the library may allocate for one decode's whole-image buffers:
// enough for a progressive grey page of 216 x 356 mm at 1200 dpi.
constexpr long kDecoderMemoryLimit = 512L * 1024 * 1024;

// The library part of a decode. Holds no object with a destructor: a library
// error jumps back into this frame from deep inside the library.
void runDecode(DecodeInfo* info, const JpegApi* api, ov_jpeg_source_mgr* src, DecodeState* st) {
    j_decompress_ptr cinfo = &st->cinfo;
    cinfo->err = api->std_error(&st->jerr.pub);
    st->jerr.pub.error_exit = my_error_exit;
    st->jerr.pub.output_message = output_message;
    if (setjmp(st->jerr.setjmp_buffer)) {
        DBG_INFO("jpeg decode ended by a library error\n");
        return;
    }
    api->create_decompress(cinfo);
    // A stream is decoded band by band, but progressive and multi-scan frames
    // need whole-image coefficient buffers: a header announcing a huge frame
    // (a few hundred bytes can claim 40000 x 30000 pixels) must end in a
    // library error, not in gigabytes allocated inside the host.
    cinfo->mem->max_memory_to_use = kDecoderMemoryLimit;

    cinfo->src = &src->jpegSourceMgr;
    src->jpegSourceMgr.init_source = init_source;
    src->jpegSourceMgr.fill_input_buffer = fill_input_buffer;
    src->jpegSourceMgr.skip_input_data = skip_input_data;
    src->jpegSourceMgr.resync_to_restart = api->resync_to_restart;
    src->jpegSourceMgr.term_source = term_source;
    src->jpegSourceMgr.next_input_byte = nullptr;
    src->jpegSourceMgr.bytes_in_buffer = 0;
    src->streamEnded = false;
    src->bandFailed = false;

    DBG_INFO("jpeg read header\n");
    if (api->read_header(cinfo, TRUE) != JPEG_HEADER_OK) {
        DBG_INFO("jpeg header not read: the stream failed\n");
        return;
    }
    info->imageWidth = static_cast<int>(cinfo->image_width);
    info->imageHeight = static_cast<int>(cinfo->image_height);
    info->num_components = cinfo->num_components;
    info->colorSpace = cinfo->out_color_space;
    info->density_unit = cinfo->density_unit;
    info->X_density = cinfo->X_density;
    info->Y_density = cinfo->Y_density;

    DBG_INFO("jpeg start decompress\n");
    if (!api->start_decompress(cinfo)) {
        DBG_INFO("jpeg decompression not started: the stream failed\n");
        return;
    }

    const size_t rowSize = static_cast<size_t>(cinfo->output_width) * static_cast<size_t>(cinfo->output_components);
    JSAMPARRAY samples =
        (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, static_cast<JDIMENSION>(rowSize), 1);
    st->row = static_cast<unsigned char*>(malloc(rowSize));
    if (st->row == nullptr) {
        DBG_INFO("no memory for a row of %zu bytes\n", rowSize);
        return;
    }
    DBG_INFO("jpeg read lines...\n");

    while (cinfo->output_scanline < cinfo->output_height && !isCancelled(info)) {
        const JDIMENSION got = api->read_scanlines(cinfo, samples, 1);
        if (got != 1) {
            DBG_INFO("jpeg row %u not decoded: the stream failed\n", cinfo->output_scanline);
            return;  // a suspension: the band function failed
        }
        memcpy(st->row, samples[0], rowSize);
        if (info->callback != nullptr) {
            try {
                info->callback(st->row, rowSize, static_cast<int>(cinfo->output_scanline) - 1, info->caller);
            } catch (...) {
                DBG_INFO("row callback failed; decode stopped\n");
                return;
            }
        }
        if (src->bandFailed) return;
    }
    // Finishing reads up to the end-of-image marker and raises an error when
    // rows remain unread, so only a complete decode is finished; any other
    // ends by destroying the decompressor.
    if (cinfo->output_scanline == cinfo->output_height && api->finish_decompress(cinfo)) st->completed = true;
}

}  // namespace

extern "C" {

void orvela_JpegLineCallback([[maybe_unused]] unsigned char* outputData, [[maybe_unused]] size_t datasize,
                             [[maybe_unused]] int lines, [[maybe_unused]] void* caller) {}

static void* decodethread_body(void* handle) {
    DecodeInfo* info = static_cast<DecodeInfo*>(handle);
    if (info == nullptr) return nullptr;
    ov_jpeg_source_mgr* src = reinterpret_cast<ov_jpeg_source_mgr*>(info->sourceMgr);
    const JpegApi* api = orvela_jpeg_api();
    // calloc: a zeroed decompressor can be destroyed whatever point the decode reached.
    DecodeState* st = static_cast<DecodeState*>(calloc(1, sizeof(DecodeState)));

    if (src == nullptr || api == nullptr || st == nullptr) {
        DBG_INFO("jpeg decode not run: %s\n", src == nullptr ? "no source manager"
                                              : api == nullptr ? "no JPEG library"
                                                               : "no memory");
    } else {
        runDecode(info, api, src, st);
    }

    if (st != nullptr) {
        free(st->row);
        if (st->jerr.pub.error_exit != nullptr) api->destroy_decompress(&st->cinfo);
        DBG_INFO("jpeg decode %s\n", st->completed ? "finished" : "abandoned");
        free(st);
    }
    info->sourceMgr = nullptr;
    free(src);

    // The worker's end. If workID still names this thread, nobody has begun to
    // wait: clear it and release the thread's resources ourselves. Otherwise
    // JPEGDecompressEnd holds (or will hold) the identifier and joins. The
    // record is not touched after the exchange.
    pthread_t self = pthread_self();
    if (std::atomic_ref<pthread_t>(info->workID).compare_exchange_strong(self, 0, std::memory_order_acq_rel))
        pthread_detach(pthread_self());
    return nullptr;
}

static void JPEGDecompressStart_body(JpegDecompressInfo* info, bool needThread) {
    DBG_INFO("JPEGDecompressStart\n");
    if (info == nullptr) return;
    ov_jpeg_source_mgr* src = static_cast<ov_jpeg_source_mgr*>(malloc(sizeof(ov_jpeg_source_mgr)));
    if (src == nullptr) {
        DBG_INFO("no memory for the JPEG source manager\n");
        return;
    }
    src->getBandFunc = info->getBandFunc;
    src->streamEnded = false;
    src->bandFailed = false;
    info->sourceMgr = &src->jpegSourceMgr;

    if (!needThread) {
        decodethread(info);
        return;
    }
    pthread_t worker;
    const int rc = pthread_create(&worker, nullptr, decodethread, info);
    if (rc != 0) {
        DBG_INFO("jpeg decode thread not created: %s\n", strerror(rc));
        info->sourceMgr = nullptr;
        free(src);
        return;
    }
    // Published after creation; a worker that ends before this store finds
    // workID unset and leaves the join to JPEGDecompressEnd.
    std::atomic_ref<pthread_t>(info->workID).store(worker, std::memory_order_release);
}

static int JPEGDecompressEnd_body(JpegDecompressInfo* info) {
    if (info == nullptr) return 0;
    std::atomic_ref<pthread_t> workID(info->workID);
    const pthread_t worker = workID.exchange(0, std::memory_order_acq_rel);
    if (worker == 0) return 0;
    if (pthread_equal(worker, pthread_self())) {
        // Called from the decode's own callback: a thread cannot join itself.
        // Leave the identifier for the worker's end or a later call.
        workID.store(worker, std::memory_order_release);
        return EDEADLK;
    }
    return pthread_join(worker, nullptr);
}


void* decodethread(void* handle) {
    return c_boundary::call("decodethread", static_cast<void*>(nullptr), [&] { return decodethread_body(handle); });
}

void JPEGDecompressStart(JpegDecompressInfo* info, bool needThread) {
    c_boundary::run("JPEGDecompressStart", [&] { JPEGDecompressStart_body(info, needThread); });
}

// An exception answers as a join that failed.
int JPEGDecompressEnd(JpegDecompressInfo* info) {
    return c_boundary::call("JPEGDecompressEnd", EINVAL, [&] { return JPEGDecompressEnd_body(info); });
}

}  // extern "C"
