// The scan parameter block: the 160 bytes that tell the scanner what to scan
// for one page. ParameterConvert builds it from the device request and the
// current date and time; most fields describe fixed capabilities, a few carry
// the request. Accepting the block (scanner_set_parameters) starts the scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/orvela_types.h"

extern "C" {

#pragma pack(push, 1)
typedef struct tagScanInfo {
    uint32_t nScanSrc;  // 0 flatbed, 1 feeder, 2 automatic
    uint32_t nTPA;
    uint32_t nEndorser;
    uint16_t nYear;  // UTC date and time of the conversion
    uint8_t nMonth;
    uint8_t nDay;
    uint8_t nHour;
    uint8_t nMinute;
    uint16_t nTimeZone;  // minutes west of Greenwich, signed, sent as its two bytes
    uint32_t nBedWidth;
    uint32_t nBedHeight;
    int32_t nIntensityMin;
    int32_t nIntensityMax;
    uint32_t nIntensityStep;
    int32_t nContrastMin;
    int32_t nContrastMax;
    uint32_t nContrastStep;
    uint32_t nSupportedCompressionType;
    uint32_t nSupportedDataTypes;
    uint32_t nWidthInPixels;
    uint32_t nWidthInBytes;  // a constant the device expects, not derived from the width
    uint32_t nLines;
    uint32_t nDataType;      // 2 grey, 4 colour
    uint32_t nBitsPerPixel;  // 8 grey, 24 colour
    uint32_t nIntensity;
    uint32_t nContrast;
    uint32_t nXResolution;
    uint32_t nYResoultion;
    uint32_t nXPosition;
    uint32_t nYPosition;
    uint32_t nXExtent;
    uint32_t nYExtent;
    uint32_t nDitherPattern;
    uint32_t nNegative;
    uint32_t nMirror;
    uint32_t nAutoback;
    uint32_t nColorDitherPattern;
    uint32_t nToneMap;
    uint32_t nCompression;
    uint32_t nRawDataFormat;
    uint32_t nRawPixelOrder;
    uint32_t nNeedDataAlignment;
    uint32_t nDelayBetweenRead;
    uint32_t nMaximumBufferSize;
} SCANINFO;
#pragma pack(pop)

enum Scan_Size { Scan_A4 = 0, Scan_A5 = 1, Scan_B5 = 2, Scan_Letter = 3, Scan_4_6 = 4 };

// One paper size in inches.
typedef struct {
    int index;
    float width;
    float height;
} Scan_Size_t;

extern const Scan_Size_t scan_size_array[5];

SCANINFO ParameterConvert(ORVELA_ScanParam parameter);

}  // extern "C"

static_assert(sizeof(SCANINFO) == 160, "the device expects a 160-byte parameter block");
static_assert(offsetof(SCANINFO, nTimeZone) == 18 && offsetof(SCANINFO, nBedWidth) == 20 &&
                  offsetof(SCANINFO, nWidthInBytes) == 64 && offsetof(SCANINFO, nYResoultion) == 92 &&
                  offsetof(SCANINFO, nMaximumBufferSize) == 156,
              "parameter block layout");

namespace orvela_protocol {

// ParameterConvert with the time given: `now` is broken down in UTC for the
// date fields, `minutes_west` goes into the time-zone field.
SCANINFO ParameterConvertAt(const ORVELA_ScanParam& parameter, time_t now, int16_t minutes_west);

}  // namespace orvela_protocol
