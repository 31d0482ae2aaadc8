#include "core/scan/job/page_request.h"

#include <sys/statfs.h>
#include <sys/sysinfo.h>

#include <cmath>
#include <cstdint>

#include "common/debugtool.h"

namespace {

double fixed_mm(SANE_Word v) { return static_cast<double>(v) / 65536.0; }

// The device resolution tier of a resolution option value.
unsigned device_x_dpi(SANE_Word resolution) {
    const auto r = static_cast<unsigned>(resolution);
    return r <= 300 ? 300 : r <= 600 ? 600 : 1200;
}
unsigned device_y_dpi(SANE_Word resolution) { return static_cast<unsigned>(resolution) <= 300 ? 300 : 600; }

}  // namespace

ORVELA_ScanParam device_request(const PageOrder& order, Placement placement) {
    const double x_dpi = device_x_dpi(order.resolution);
    const double y_dpi = device_y_dpi(order.resolution);
    const SANE_Word width = order.width;
    const SANE_Word tl_x = order.tl_x;

    ORVELA_ScanParam d{};
    d.ScanColor = order.colour == Black_White ? Grayscale : order.colour;
    d.ScanSource = order.source;
    d.xResolution = static_cast<unsigned>(x_dpi);
    d.yResolution = static_cast<unsigned>(y_dpi);

    // SANE_Fixed arithmetic in 64 bits: the values are unchecked words.
    double offset_mm = 0;
    if (order.source == ScanSource_ADF) {
        offset_mm = fixed_mm(static_cast<SANE_Word>((int64_t{kBedWidthFixed} - width) / 2));
    } else if (order.device->isRightRearBP && order.placed_by_frontend) {
        offset_mm = static_cast<double>(int64_t{kBedWidthFixed} - tl_x - width) / 65536.0;
    } else if (order.placed_by_frontend) {
        offset_mm = fixed_mm(tl_x);
    }
    const double left = std::trunc(offset_mm * x_dpi / 25.4);
    const double top = std::trunc(fixed_mm(order.tl_y) * y_dpi / 25.4);
    if (placement == Placement::AsPlaced) {
        d.Left = static_cast<unsigned>(static_cast<int>(std::trunc(fixed_mm(tl_x) * x_dpi / 25.4)));
        d.Top = static_cast<unsigned>(static_cast<int>(top));
    } else {
        d.Left = static_cast<unsigned>(std::fabs(left));
        d.Top = static_cast<unsigned>(std::fabs(top));
    }
    d.widthPixel = static_cast<unsigned>(std::trunc(fixed_mm(width) * x_dpi / 25.4));
    d.heightPixel = static_cast<unsigned>(std::trunc(y_dpi * fixed_mm(order.height) / 25.4));
    return d;
}

bool packs_bilevel(const PageOrder& order) { return order.colour == Black_White; }

bool area_out_of_range(const PageOrder& order) {
    const int64_t tl_x = order.tl_x;
    const int64_t tl_y = order.tl_y;
    const int64_t width = order.width;
    const int64_t height = order.height;
    if (width < int64_t{11} * 65536 || height < int64_t{11} * 65536 || tl_x + width > int64_t{216} * 65536 ||
        tl_y + height > int64_t{297} * 65536) {
        DBG_INFO("OPT_TL_X=%f\n", tl_x / 65536.0);
        DBG_INFO("OPT_TL_Y=%f\n", tl_y / 65536.0);
        DBG_INFO("OPT_WIDTH=%f\n", width / 65536.0);
        DBG_INFO("OPT_HEIGHT=%f\n", height / 65536.0);
        return true;
    }
    return order.source == ScanSource_ADF &&
           (width < int64_t{127} * 65536 || height < int64_t{127} * 65536 || order.resolution > 600);
}

extern "C" {

bool IsLowofSystemMemory(unsigned long needMem) {
    struct sysinfo info;
    if (sysinfo(&info) != 0) return false;
    const long free_ram = static_cast<long>((static_cast<unsigned long long>(info.freeram) * info.mem_unit) >> 20);
    const long free_swap = static_cast<long>((static_cast<unsigned long long>(info.freeswap) * info.mem_unit) >> 20);
    DBG_INFO("Free RAM: %ldMB\n", free_ram);
    DBG_INFO("Free SWAP: %ldMB\n", free_swap);
    const float want = 2.0f * static_cast<float>(needMem);
    return want > static_cast<float>(free_ram) && want > static_cast<float>(free_swap);
}

bool IsNoEnoughSpace(const char* path, unsigned int prefer_size) {
    struct statfs fs;
    uint32_t available = prefer_size;
    if (statfs(path, &fs) == 0)
        available = static_cast<uint32_t>((static_cast<unsigned long long>(fs.f_bavail) * fs.f_bsize) >> 20);
    DBG_INFO("Disk available space:%ldMB\n", static_cast<long>(available));
    return 1.5f * static_cast<float>(prefer_size) > static_cast<float>(available);
}

}  // extern "C"
