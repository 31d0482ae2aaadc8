/* A stand-in for a host's own JPEG library: the decompression entry points
 * only count that they were called. A backend that binds libjpeg privately
 * never reaches them. */
#include <stddef.h>

int jpeg_standin_calls = 0;

#define STANDIN(name) \
    void* name(void) { ++jpeg_standin_calls; return NULL; }

STANDIN(jpeg_std_error)
STANDIN(jpeg_CreateDecompress)
STANDIN(jpeg_destroy_decompress)
STANDIN(jpeg_abort_decompress)
STANDIN(jpeg_stdio_src)
STANDIN(jpeg_mem_src)
STANDIN(jpeg_read_header)
STANDIN(jpeg_start_decompress)
STANDIN(jpeg_read_scanlines)
STANDIN(jpeg_finish_decompress)
STANDIN(jpeg_resync_to_restart)
STANDIN(jpeg_consume_input)
STANDIN(jpeg_abort)
STANDIN(jpeg_destroy)
