#include "tests/support/test_jpeg_writer.h"

#include <dlfcn.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

struct Compressor {
    jpeg_error_mgr* (*std_error)(jpeg_error_mgr*);
    void (*create)(j_compress_ptr, int, size_t);
    void (*mem_dest)(j_compress_ptr, unsigned char**, unsigned long*);
    void (*set_defaults)(j_compress_ptr);
    void (*set_quality)(j_compress_ptr, int, boolean);
    void (*start)(j_compress_ptr, boolean);
    JDIMENSION (*write_scanlines)(j_compress_ptr, JSAMPARRAY, JDIMENSION);
    void (*finish)(j_compress_ptr);
    void (*destroy)(j_compress_ptr);
};

template <typename Fn>
bool bind(void* lib, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(dlsym(lib, name));
    return fn != nullptr;
}

const Compressor* compressor() {
    static Compressor c;
    static const Compressor* loaded = [] () -> const Compressor* {
        void* lib = dlopen("libjpeg.so.62", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) return nullptr;
        const bool ok = bind(lib, "jpeg_std_error", c.std_error) && bind(lib, "jpeg_CreateCompress", c.create) &&
                        bind(lib, "jpeg_mem_dest", c.mem_dest) && bind(lib, "jpeg_set_defaults", c.set_defaults) &&
                        bind(lib, "jpeg_set_quality", c.set_quality) && bind(lib, "jpeg_start_compress", c.start) &&
                        bind(lib, "jpeg_write_scanlines", c.write_scanlines) &&
                        bind(lib, "jpeg_finish_compress", c.finish) && bind(lib, "jpeg_destroy_compress", c.destroy);
        return ok ? &c : nullptr;
    }();
    return loaded;
}

struct ErrorJump {
    jpeg_error_mgr pub;
    jmp_buf escape;
};

[[noreturn]] void jump_out(j_common_ptr cinfo) { longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->escape, 1); }

}  // namespace

std::vector<uint8_t> encode_test_jpeg(const uint8_t* pixels, unsigned width, unsigned height, int channels,
                                      int quality) {
    const Compressor* c = compressor();
    if (c == nullptr || (channels != 1 && channels != 3)) return {};
    jpeg_compress_struct cinfo{};
    ErrorJump err{};
    unsigned char* volatile out = nullptr;
    unsigned long out_size = 0;
    cinfo.err = c->std_error(&err.pub);
    err.pub.error_exit = jump_out;
    if (setjmp(err.escape) != 0) {
        c->destroy(&cinfo);
        free(out);
        return {};
    }
    c->create(&cinfo, JPEG_LIB_VERSION, sizeof cinfo);
    unsigned char* buffer = nullptr;
    c->mem_dest(&cinfo, &buffer, &out_size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = channels;
    cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    c->set_defaults(&cinfo);
    c->set_quality(&cinfo, quality, TRUE);
    c->start(&cinfo, TRUE);
    const size_t stride = static_cast<size_t>(width) * channels;
    while (cinfo.next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + cinfo.next_scanline * stride);
        c->write_scanlines(&cinfo, &row, 1);
    }
    c->finish(&cinfo);
    out = buffer;
    std::vector<uint8_t> result(buffer, buffer + out_size);
    c->destroy(&cinfo);
    free(out);
    return result;
}

bool write_test_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}
