// Records and status codes shared by every layer of the backend: the device
// record that discovery fills and the transports consume, the scan request, the
// protocol and driver status codes, the page-poll record and the raw image.
// They are plain C-layout values, copied whole between layers.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

enum IOTYPE { IOTYPE_USB = 1, IOTYPE_NET = 2 };

struct ORVELA_Scanner {
    ORVELA_Scanner* next;  // never set or followed: collections are arrays
    char brandName[32];
    char modelName[32];
    char deviceURI[128];  // lookups compare only the first 64 characters
    int vendor_id;
    int product_id;
    int interface;
    char serial[32];
    int endpoint_bulkin;
    int endpoint_bulkout;
    IOTYPE type_io;
    int speed;
    char ipaddress[64];
    int port;
    bool isSupportADF;
    bool isRightRearBP;
};
typedef ORVELA_Scanner ORVELA_Device;

// Driver-layer result; the numbers are those of SANE_Status.
enum SCAN_Status {
    SCAN_STATUS_GOOD = 0,
    SCAN_STATUS_UNSUPPORTED = 1,
    SCAN_STATUS_CANCELLED = 2,
    SCAN_STATUS_DEVICE_BUSY = 3,
    SCAN_STATUS_INVAL = 4,
    SCAN_STATUS_EOF = 5,
    SCAN_STATUS_JAMMED = 6,
    SCAN_STATUS_NO_DOCS = 7,
    SCAN_STATUS_COVER_OPEN = 8,
    SCAN_STATUS_IO_ERROR = 9,
    SCAN_STATUS_NO_MEM = 10,
    SCAN_STATUS_ACCESS_DENIED = 11,
};
typedef SCAN_Status STATUS_SCAN;

// Protocol result: 0..15, 27 and 43 are the device's status byte, 100 and up
// are made by the backend. The device's byte is stored as it came, so the
// type holds any int (a fixed underlying type), not only the listed values.
enum _DevStatus : int {
    STATUS_OK = 0,
    STATUS_ILLEGALCMD = 1,
    STATUS_USEWITHOUTLOCK = 2,
    STATUS_WARMINGUP = 3,
    STATUS_POWEREDOFF = 4,
    STATUS_COPYNOTLOCKED = 5,
    STATUS_UNKNOWNPARAMID = 6,
    STATUS_DATASIZEMISMATCH = 7,
    STATUS_PARAMINUSE = 8,
    STATUS_SCANSTOPPED = 9,
    STATUS_OUTOFMEMERY = 10,
    STATUS_FLASHDNFAIL = 11,
    STATUS_FAILDNMOTORTABLE = 12,
    STATUS_INVALIDFLASHADDR = 13,
    STATUS_INVALIDPARAMETERFMT = 14,
    STATUS_ERROR = 15,
    STATUS_INVALIDFLASHDATA = 27,
    STATUS_INCOMPLETEFLASHDATA = 43,
    STATUS_Timeout = 100,
    STATUS_Cancel = 101,
    STATUS_Error_App = 102,
    STATUS_Error_machine = 103,
    STATUS_Error_busy = 104,
    STATUS_Error_lock = 105,
    STATUS_Error_ADF_CoverOpen = 106,
    STATUS_Error_ADF_Jam = 107,
};
typedef _DevStatus DEVSTATUS;
typedef _DevStatus ERROR_CODE;

// The feeder byte of the device; other byte values pass through unchanged
// (hence the fixed underlying type: any byte is a valid value).
enum STATUS_ADF : int {
    STATUS_ADF_PAPER_EMPTY = 0,
    STATUS_ADF_PAPER_EXIST = 1,
    STATUS_ADF_COVER_OPEN = 14,
    STATUS_ADF_JAM = 15,
};

enum STATUS_SCAN_PAGE { ScanStatus_Scanning = 0, ScanStatus_End = 1 };

// Outcome of one page-stream poll; a poll overwrites only what its reply carries.
struct ScanStatus {
    STATUS_SCAN_PAGE status;
    STATUS_ADF adfStatus;
    int data_size;
    ERROR_CODE error_code;
};

typedef struct _SCAN_RESULT {
    STATUS_SCAN scan_status;
    STATUS_ADF adf_status;
} SCAN_RESULT;

enum ColorModel { Black_White = 1, Grayscale = 2, Color = 4 };
enum SCAN_SOURCE { ScanSource_Flatbed = 0, ScanSource_ADF = 1, ScanSource_Auto = 2 };

struct ORVELA_ScanParam {
    unsigned XRes;
    unsigned YRes;
    unsigned Left;
    unsigned Top;
    int ScanColor;
    int ScanSource;
    unsigned xResolution;
    unsigned yResolution;
    unsigned bitPerPixel;
    unsigned widthPixel;
    unsigned heightPixel;
};

// A page in memory: rows packed without padding, samples interleaved.
struct ORVELA_IMAGE_RAW {
    unsigned char* img_data;
    uint32_t img_width;
    uint32_t img_height;
    uint32_t img_channel;
};

}  // extern "C"

// The device record crosses the exported interface by value (scanner_open,
// Device_Open, TCP_Open...), so its fields follow one another as declared on
// every ABI: after the link pointer (4 or 8 bytes) no padding but the tail.
namespace orvela_layout {
constexpr size_t kLink = sizeof(void*);
constexpr size_t kRecordEnd = kLink + 322;  // one past isRightRearBP
}  // namespace orvela_layout
static_assert(offsetof(ORVELA_Scanner, brandName) == orvela_layout::kLink &&
                  offsetof(ORVELA_Scanner, deviceURI) == orvela_layout::kLink + 64 &&
                  offsetof(ORVELA_Scanner, serial) == orvela_layout::kLink + 204 &&
                  offsetof(ORVELA_Scanner, ipaddress) == orvela_layout::kLink + 252 &&
                  offsetof(ORVELA_Scanner, isRightRearBP) == orvela_layout::kRecordEnd - 1 &&
                  sizeof(ORVELA_Scanner) == (orvela_layout::kRecordEnd + alignof(ORVELA_Scanner) - 1) /
                                                alignof(ORVELA_Scanner) * alignof(ORVELA_Scanner),
              "the device record crosses the exported interface; keep its fields as declared");
// Two and eleven 32-bit fields, whatever the ABI.
static_assert(sizeof(SCAN_RESULT) == 8);
static_assert(sizeof(ORVELA_ScanParam) == 44);
