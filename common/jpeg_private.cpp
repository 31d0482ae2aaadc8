#include "common/jpeg_private.h"

#include <dlfcn.h>

#include <mutex>

#include "common/debugtool.h"

namespace {

// GCC announces sanitizers with __SANITIZE_*__, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVELA_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORVELA_SANITIZED_BUILD 1
#endif
#endif

#if defined(ORVELA_SANITIZED_BUILD)
// The sanitizer runtimes refuse RTLD_DEEPBIND; sanitizer builds are test
// builds whose hosts load no other JPEG library.
constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL;
#else
// RTLD_LOCAL keeps libjpeg's symbols out of the host's global scope; DEEPBIND
// makes libjpeg's calls to its own functions bind to itself, not to a host's
// library with the same function names.
constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND;
#endif

template <typename Fn>
bool resolve(void* handle, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(handle, name));
    return slot != nullptr;
}

}  // namespace

#if defined(ORVELA_SANITIZED_BUILD)
const bool kJpegBindingIsDeep = false;
#else
const bool kJpegBindingIsDeep = true;
#endif

namespace {

JpegApi g_api;
const JpegApi* g_loaded = nullptr;
std::once_flag g_once;

void load() {
    void* handle = dlopen(kJpegLibraryName, kOpenFlags);
    if (handle == nullptr) {
        const char* why = dlerror();
        DBG_INFO("Fail to load %s: %s\n", kJpegLibraryName, why ? why : "");
        return;
    }
    JpegApi api{};
    const bool ok = resolve(handle, "jpeg_std_error", api.std_error) &&
                    resolve(handle, "jpeg_CreateDecompress", api.CreateDecompress) &&
                    resolve(handle, "jpeg_destroy_decompress", api.destroy_decompress) &&
                    resolve(handle, "jpeg_abort_decompress", api.abort_decompress) &&
                    resolve(handle, "jpeg_stdio_src", api.stdio_src) &&
                    resolve(handle, "jpeg_read_header", api.read_header) &&
                    resolve(handle, "jpeg_start_decompress", api.start_decompress) &&
                    resolve(handle, "jpeg_read_scanlines", api.read_scanlines) &&
                    resolve(handle, "jpeg_finish_decompress", api.finish_decompress) &&
                    resolve(handle, "jpeg_resync_to_restart", api.resync_to_restart) &&
                    resolve(handle, "jpeg_calc_output_dimensions", api.calc_output_dimensions);
    if (!ok) {
        DBG_INFO("Fail to resolve the JPEG functions of %s\n", kJpegLibraryName);
        dlclose(handle);
        return;
    }
    // The handle stays open for the life of the process: decoders may run on
    // worker threads after any given caller is done with the table.
    g_api = api;
    g_loaded = &g_api;
}

}  // namespace

const JpegApi* orvela_jpeg_api() {
    std::call_once(g_once, load);
    return g_loaded;
}
