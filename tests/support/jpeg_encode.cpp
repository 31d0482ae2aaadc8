#include "tests/support/jpeg_encode.h"

#include <dlfcn.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

struct Lib {
    jpeg_error_mgr* (*std_error)(jpeg_error_mgr*);
    void (*CreateCompress)(j_compress_ptr, int, size_t);
    void (*set_defaults)(j_compress_ptr);
    void (*set_quality)(j_compress_ptr, int, boolean);
    void (*simple_progression)(j_compress_ptr);
    void (*mem_dest)(j_compress_ptr, unsigned char**, unsigned long*);
    void (*start_compress)(j_compress_ptr, boolean);
    void (*write_marker)(j_compress_ptr, int, const JOCTET*, unsigned int);
    JDIMENSION (*write_scanlines)(j_compress_ptr, JSAMPARRAY, JDIMENSION);
    void (*finish_compress)(j_compress_ptr);
    void (*destroy_compress)(j_compress_ptr);
    void (*CreateDecompress)(j_decompress_ptr, int, size_t);
    void (*mem_src)(j_decompress_ptr, const unsigned char*, unsigned long);
    int (*read_header)(j_decompress_ptr, boolean);
    boolean (*start_decompress)(j_decompress_ptr);
    JDIMENSION (*read_scanlines)(j_decompress_ptr, JSAMPARRAY, JDIMENSION);
    boolean (*finish_decompress)(j_decompress_ptr);
    void (*destroy_decompress)(j_decompress_ptr);
};

template <typename Fn>
bool bind(void* h, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(h, name));
    return slot != nullptr;
}

const Lib* lib() {
    static const Lib* loaded = [] () -> const Lib* {
        void* h = dlopen("libjpeg.so.62", RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) return nullptr;
        static Lib l;
        const bool ok = bind(h, "jpeg_std_error", l.std_error) && bind(h, "jpeg_CreateCompress", l.CreateCompress) &&
                        bind(h, "jpeg_set_defaults", l.set_defaults) && bind(h, "jpeg_set_quality", l.set_quality) &&
                        bind(h, "jpeg_simple_progression", l.simple_progression) &&
                        bind(h, "jpeg_mem_dest", l.mem_dest) && bind(h, "jpeg_start_compress", l.start_compress) &&
                        bind(h, "jpeg_write_marker", l.write_marker) &&
                        bind(h, "jpeg_write_scanlines", l.write_scanlines) &&
                        bind(h, "jpeg_finish_compress", l.finish_compress) &&
                        bind(h, "jpeg_destroy_compress", l.destroy_compress) &&
                        bind(h, "jpeg_CreateDecompress", l.CreateDecompress) && bind(h, "jpeg_mem_src", l.mem_src) &&
                        bind(h, "jpeg_read_header", l.read_header) &&
                        bind(h, "jpeg_start_decompress", l.start_decompress) &&
                        bind(h, "jpeg_read_scanlines", l.read_scanlines) &&
                        bind(h, "jpeg_finish_decompress", l.finish_decompress) &&
                        bind(h, "jpeg_destroy_decompress", l.destroy_decompress);
        return ok ? &l : nullptr;
    }();
    return loaded;
}

struct JumpError {
    jpeg_error_mgr pub;
    jmp_buf back;
};

void jump(j_common_ptr cinfo) { longjmp(reinterpret_cast<JumpError*>(cinfo->err)->back, 1); }
void quiet(j_common_ptr) {}

// The libjpeg parts of encoding, free of objects with destructors (longjmp).
bool compress(const Lib* l, jpeg_compress_struct* c, JumpError* err, const uint8_t* pixels, unsigned width,
              unsigned height, int channels, const JpegEncodeOptions& o, unsigned char** out, unsigned long* size) {
    c->err = l->std_error(&err->pub);
    err->pub.error_exit = jump;
    err->pub.output_message = quiet;
    if (setjmp(err->back)) return false;
    l->CreateCompress(c, JPEG_LIB_VERSION, sizeof *c);
    l->mem_dest(c, out, size);
    c->image_width = width;
    c->image_height = height;
    c->input_components = channels;
    c->in_color_space = channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
    l->set_defaults(c);
    l->set_quality(c, o.quality, TRUE);
    if (o.progressive) l->simple_progression(c);
    c->arith_code = o.arithmetic;
    c->restart_in_rows = o.restartRows;
    c->density_unit = o.densityUnit;
    c->X_density = o.xDensity;
    c->Y_density = o.yDensity;
    l->start_compress(c, TRUE);
    for (const auto& m : o.markers) l->write_marker(c, m.first, m.second.data(), static_cast<unsigned>(m.second.size()));
    const size_t stride = static_cast<size_t>(width) * channels;
    while (c->next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + c->next_scanline * stride);
        l->write_scanlines(c, &row, 1);
    }
    l->finish_compress(c);
    return true;
}

bool decompress(const Lib* l, jpeg_decompress_struct* d, JumpError* err, const std::vector<uint8_t>& jpeg,
                std::vector<std::vector<uint8_t>>* rows) {
    d->err = l->std_error(&err->pub);
    err->pub.error_exit = jump;
    err->pub.output_message = quiet;
    if (setjmp(err->back)) return false;
    l->CreateDecompress(d, JPEG_LIB_VERSION, sizeof *d);
    l->mem_src(d, jpeg.data(), jpeg.size());
    l->read_header(d, TRUE);
    l->start_decompress(d);
    const size_t stride = static_cast<size_t>(d->output_width) * d->output_components;
    rows->assign(d->output_height, std::vector<uint8_t>(stride));
    while (d->output_scanline < d->output_height) {
        JSAMPROW row = (*rows)[d->output_scanline].data();
        l->read_scanlines(d, &row, 1);
    }
    l->finish_decompress(d);
    return true;
}

}  // namespace

std::vector<uint8_t> jpeg_encode(const std::vector<uint8_t>& pixels, unsigned width, unsigned height, int channels,
                                 const JpegEncodeOptions& options) {
    const Lib* l = lib();
    if (l == nullptr || (channels != 1 && channels != 3) || pixels.size() < static_cast<size_t>(width) * height * channels)
        return {};
    jpeg_compress_struct c{};
    JumpError err{};
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const bool ok = compress(l, &c, &err, pixels.data(), width, height, channels, options, &out, &size);
    l->destroy_compress(&c);
    std::vector<uint8_t> result;
    if (ok && out != nullptr) result.assign(out, out + size);
    free(out);
    return result;
}

bool jpeg_decode_reference(const std::vector<uint8_t>& jpeg, std::vector<std::vector<uint8_t>>* rows) {
    const Lib* l = lib();
    if (l == nullptr) return false;
    jpeg_decompress_struct d{};
    JumpError err{};
    const bool ok = decompress(l, &d, &err, jpeg, rows);
    l->destroy_decompress(&d);
    return ok;
}

std::vector<uint8_t> jpeg_test_picture(unsigned width, unsigned height, int channels, unsigned seed) {
    std::vector<uint8_t> p(static_cast<size_t>(width) * height * channels);
    unsigned state = seed * 2654435761u + 1;
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) {
                state = state * 1103515245u + 12345u;
                const unsigned noise = (state >> 16) & 31;
                const unsigned check = (((x / 8) + (y / 8)) & 1) ? 60 : 0;
                const unsigned grad = (x * 255 / (width ? width : 1) + y * 3 + c * 70) & 0xFF;
                p[(static_cast<size_t>(y) * width + x) * channels + c] = static_cast<uint8_t>((grad + check + noise) & 0xFF);
            }
    return p;
}
