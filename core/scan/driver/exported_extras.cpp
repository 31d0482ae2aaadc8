// What the driver layer exports for callers outside the backend, which the
// scan path never calls: the band-by-band pull and entry points that do nothing.
#include <memory>
#include <new>

#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "core/scan/driver/orvela_drv.h"
#include "protocol/page_pull.h"
#include "protocol/scanner.h"

using orvela_protocol::PageHeader;

extern "C" {

static SCAN_RESULT Drv_scanBand_body(unsigned char* buffer, size_t* retSize) {
    DBG_INFO("Run into Drv_scanBand\n");
    if (retSize != nullptr) *retSize = 0;
    ScanStatus status{};
    const SCAN_RESULT failure{SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY};
    if (buffer == nullptr || retSize == nullptr) return failure;

    const PageHeader kind = orvela_protocol::read_page_header(status, orvela_protocol::kScanTimeout);
    if (kind == PageHeader::End) {
        DBG_INFO("Page End. adf status=0x%02X\n", status.adfStatus);
        return SCAN_RESULT{SCAN_STATUS_EOF, status.adfStatus};
    }
    if (kind != PageHeader::Data || status.data_size <= 0) return failure;

    const size_t size = static_cast<size_t>(status.data_size);
    if (size > orvela_drv::kBandBufferSize) {
        // Larger than the buffer the caller is asked to provide: read it into
        // a buffer of our own so that the stream stays in step, and report
        // the band as lost.
        std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[orvela_drv::kBandBufferSize]);
        if (scratch != nullptr)
            orvela_protocol::read_band(size, scratch.get(), orvela_drv::kBandBufferSize, orvela_protocol::kScanTimeout,
                                       [](const unsigned char*, size_t) { return true; });
        DBG_INFO("Drv_scanBand: band of %zu bytes is larger than %zu, dropped\n", size, orvela_drv::kBandBufferSize);
        return failure;
    }
    if (scanner_get_scan_data(buffer, status.data_size) == 0) return failure;
    *retSize = size;
    return SCAN_RESULT{SCAN_STATUS_GOOD, STATUS_ADF_PAPER_EMPTY};
}

SCAN_Status Drv_get_parameters(void* /*callback*/) { return SCAN_STATUS_GOOD; }
SCAN_Status Drv_read(unsigned char* /*buf*/, int /*len*/) { return SCAN_STATUS_GOOD; }
void Drv_get_backend_error_code(int* /*errCode*/) {}

SCAN_RESULT Drv_scanBand(unsigned char* buffer, size_t* retSize) {
    return c_boundary::call("Drv_scanBand", SCAN_RESULT{SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY},
                            SCAN_RESULT{SCAN_STATUS_NO_MEM, STATUS_ADF_PAPER_EMPTY},
                            [&] { return Drv_scanBand_body(buffer, retSize); });
}

}  // extern "C"
