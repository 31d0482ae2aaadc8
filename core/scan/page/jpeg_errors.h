// The error handling of every JPEG decode of a scanned page. libjpeg's own
// error manager would end the host process on a corrupt stream; here a fatal
// error jumps back to the decoder's recovery point, which fails the page.
// Warnings are logged. (A page cut short raises no warning: the decoder's
// source suspends when the bytes run out, and its caller decides.)
#pragma once

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "common/jpeg_private.h"

struct DecodeErrorManager {
    jpeg_error_mgr pub;  // first: libjpeg sees only this part
    jmp_buf escape;
};

// Sets up `err` for `cinfo` (before jpeg_create_decompress); the caller calls
// setjmp(err->escape) before the first library call.
void install_decode_errors(const JpegApi* api, j_decompress_ptr cinfo, DecodeErrorManager* err);
