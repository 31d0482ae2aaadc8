// The error handling of every JPEG decode of a scanned page. libjpeg's own
// error manager would end the host process on a corrupt stream; here a fatal
// error, and the warning that the data ended early (libjpeg would pad the rest
// of the page with grey), jump back to the decode's recovery point, which
// fails the page (SCAN_STATUS_IO_ERROR). Other warnings are logged.
#pragma once

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "common/jpeg_private.h"
#include "common/orvela_types.h"

struct DecodeErrorManager {
    jpeg_error_mgr pub;  // first: libjpeg sees only this part
    jmp_buf escape;
    // Why the decode failed, for the code at the recovery point: set just
    // before the jump, hence volatile.
    volatile SCAN_Status failure;
};

// Sets up `err` for `cinfo` (before jpeg_create_decompress); the caller calls
// setjmp(err->escape) before the first library call.
void install_decode_errors(const JpegApi* api, j_decompress_ptr cinfo, DecodeErrorManager* err);

// Fails the decode from the decoder's own code the way a library error does:
// jumps to the recovery point with `why` in err->failure.
[[noreturn]] void fail_decode(DecodeErrorManager* err, SCAN_Status why);
