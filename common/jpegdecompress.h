// Streaming JPEG decoder: decodes one image whose compressed bytes arrive
// band by band from a caller's function, and hands every decoded row to a
// caller's callback as soon as it is ready, on the calling thread or on a
// worker thread of its own. Nothing in the scan path uses it; it is exported
// for outside callers.
//
// Use: zero a DecodeInfo, set callback, getBandFunc and caller, call
// JPEGDecompressStart; `cancel` may be set at any time from any thread (write
// it atomically, e.g. __atomic_store_n); after a threaded start call
// JPEGDecompressEnd once. The record must outlive the decode.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdio>
#include <csetjmp>

#include <jpeglib.h>

extern "C" {

// One decoded row: `datasize` bytes of interleaved samples in the output
// colour space, row index `lines` (0-based). The buffer is reused for the next
// row; a callback that keeps a row copies it.
typedef void (*orvela_JpegCallback)(unsigned char* outputData, size_t datasize, int lines, void* caller);

// Writes the next piece of the stream into `buffer` (room for 32768 bytes) and
// its byte count into `*size`. Returns 0 (SCAN_STATUS_GOOD) with at least one
// byte, 5 (SCAN_STATUS_EOF) at the end of the stream, anything else on
// failure.
typedef int (*getBandDataFunc)(char* buffer, size_t* size);

typedef struct DecodeInfo {
    orvela_JpegCallback callback;
    getBandDataFunc getBandFunc;
    void* caller;                          // handed back to callback
    pthread_t workID;                      // the worker; 0 when none is to be joined
    bool cancel;                           // no further row is decoded once set
    struct jpeg_source_mgr* sourceMgr;     // the decode's source manager, released at its end
    int imageWidth;                        // header fields, valid before the first row
    int imageHeight;
    int num_components;
    UINT8 density_unit;                    // JFIF: 0 none, 1 dots per inch, 2 per centimetre
    UINT16 X_density;
    UINT16 Y_density;
    J_COLOR_SPACE colorSpace;              // output colour space chosen by the library
} DecodeInfo;
typedef DecodeInfo JpegDecompressInfo;

// Size of the band cache of the source manager.
enum { kJpegBandCacheSize = 32768 };

// The source manager of one decode. The library's record comes first so that
// the library can use the whole record as its source manager.
typedef struct ov_jpeg_source_mgr {
    struct jpeg_source_mgr jpegSourceMgr;
    getBandDataFunc getBandFunc;
    unsigned char CACHE[kJpegBandCacheSize];
    bool streamEnded;  // the band function reported the end (or a failure):
    bool bandFailed;   // from then on only an end-of-image marker is served
} ov_jpeg_source_mgr;

// The library's error manager with the decode's recovery point.
typedef struct my_error_mgr {
    struct jpeg_error_mgr pub;
    jmp_buf setjmp_buffer;
} my_error_mgr;
typedef my_error_mgr* my_error_ptr;

// With needThread, starts a worker and returns at once; otherwise decodes the
// whole image before returning. A worker that cannot be created leaves the
// record as after a finished decode (no rows, workID 0).
void JPEGDecompressStart(JpegDecompressInfo* info, bool needThread);

// Waits for a started worker: the join's result, or 0 when there is none (also
// when the worker has already ended and released itself).
int JPEGDecompressEnd(JpegDecompressInfo* info);

// The body of a decode (a thread start routine): `handle` is the DecodeInfo.
// Always returns null. A caller that runs it on a thread of its own keeps
// that thread's identifier out of workID: a worker that finds its own
// identifier there at its end releases itself (pthread_detach).
void* decodethread(void* handle);

// A row callback that does nothing.
void orvela_JpegLineCallback(unsigned char* outputData, size_t datasize, int lines, void* caller);

}  // extern "C"
