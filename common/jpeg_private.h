// The JPEG library, bound privately: loaded with its own symbol scope and
// called only through this table, so that a host which has another JPEG
// library loaded neither has its functions called by the backend nor sees the
// backend's copy replace its own. The libjpeg macros that expand to library
// calls (jpeg_create_decompress) go through the table too.
#pragma once

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

struct JpegApi {
    struct jpeg_error_mgr* (*std_error)(struct jpeg_error_mgr*);
    void (*CreateDecompress)(j_decompress_ptr, int, size_t);
    void (*destroy_decompress)(j_decompress_ptr);
    void (*abort_decompress)(j_decompress_ptr);
    void (*stdio_src)(j_decompress_ptr, FILE*);
    int (*read_header)(j_decompress_ptr, boolean);
    boolean (*start_decompress)(j_decompress_ptr);
    JDIMENSION (*read_scanlines)(j_decompress_ptr, JSAMPARRAY, JDIMENSION);
    boolean (*finish_decompress)(j_decompress_ptr);
    boolean (*resync_to_restart)(j_decompress_ptr, int);
    void (*calc_output_dimensions)(j_decompress_ptr);

    // jpeg_create_decompress() as the header's macro would expand it.
    void create_decompress(j_decompress_ptr cinfo) const {
        CreateDecompress(cinfo, JPEG_LIB_VERSION, sizeof(struct jpeg_decompress_struct));
    }
};

// The table, loaded on first use; null when the library cannot be loaded.
const JpegApi* orvela_jpeg_api();
// False in sanitizer builds, whose runtimes refuse a deep binding: there
// libjpeg's calls to its own functions may reach a host's library.
extern const bool kJpegBindingIsDeep;
// Name of the shared object the table is loaded from.
constexpr const char* kJpegLibraryName = "libjpeg.so.62";
