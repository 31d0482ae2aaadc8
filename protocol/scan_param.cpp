#include "protocol/scan_param.h"

#include <sys/timeb.h>

#include "common/debugtool.h"

extern "C" const Scan_Size_t scan_size_array[5] = {
    {Scan_A4, 8.268f, 11.693f}, {Scan_A5, 5.827f, 8.268f}, {Scan_B5, 7.165f, 10.0f},
    {Scan_Letter, 8.5f, 11.0f}, {Scan_4_6, 4.0f, 6.0f},
};

namespace orvela_protocol {

SCANINFO ParameterConvertAt(const ORVELA_ScanParam& parameter, time_t now, int16_t minutes_west) {
    tm utc{};
    gmtime_r(&now, &utc);

    const bool grey = parameter.ScanColor == Black_White || parameter.ScanColor == Grayscale;
    const uint32_t data_type = grey ? 2 : 4;
    const uint32_t bits_per_pixel = grey ? 8 : 24;
    const uint32_t bed_height = parameter.ScanSource == ScanSource_Flatbed ? 11700 : 14000;

    DBG_INFO("%s: Source=%d, Res=%dx%d, xPos=%d, yPos=%d, W=%d, H=%d, BitPerPixel=%d. exit!\n", "ParameterConvert",
             parameter.ScanSource, parameter.xResolution, parameter.yResolution, parameter.Left, parameter.Top,
             parameter.widthPixel, parameter.heightPixel, bits_per_pixel);

    SCANINFO info{};
    info.nScanSrc = static_cast<uint32_t>(parameter.ScanSource);
    info.nTPA = 0;
    info.nEndorser = 0;
    info.nYear = static_cast<uint16_t>(utc.tm_year + 1900);
    info.nMonth = static_cast<uint8_t>(utc.tm_mon + 1);
    info.nDay = static_cast<uint8_t>(utc.tm_mday);
    info.nHour = static_cast<uint8_t>(utc.tm_hour);
    info.nMinute = static_cast<uint8_t>(utc.tm_min);
    info.nTimeZone = static_cast<uint16_t>(minutes_west);
    info.nBedWidth = 8500;
    info.nBedHeight = bed_height;
    info.nIntensityMin = -127;
    info.nIntensityMax = 127;
    info.nIntensityStep = 1;
    info.nContrastMin = -127;
    info.nContrastMax = 127;
    info.nContrastStep = 1;
    info.nSupportedCompressionType = 1;
    info.nSupportedDataTypes = 7;
    info.nWidthInPixels = 5100;
    info.nWidthInBytes = 0xFFFFFC4Fu;
    info.nLines = 1000;
    info.nDataType = data_type;
    info.nBitsPerPixel = bits_per_pixel;
    info.nIntensity = 0;
    info.nContrast = 0;
    info.nXResolution = parameter.xResolution;
    info.nYResoultion = parameter.yResolution;
    info.nXPosition = parameter.Left;
    info.nYPosition = parameter.Top;
    info.nXExtent = parameter.widthPixel;
    info.nYExtent = parameter.heightPixel;
    info.nCompression = 1;
    info.nRawDataFormat = 1;
    info.nRawPixelOrder = 0;
    info.nNeedDataAlignment = 1;
    info.nDelayBetweenRead = 0;
    info.nMaximumBufferSize = 0;
    return info;
}

}  // namespace orvela_protocol

extern "C" SCANINFO ParameterConvert(ORVELA_ScanParam parameter) {
    // The time-zone field is the one ftime reports; the date fields come from
    // the wall clock broken down in UTC.
    timeb tb{};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ftime(&tb);
#pragma GCC diagnostic pop
    return orvela_protocol::ParameterConvertAt(parameter, time(nullptr), static_cast<int16_t>(tb.timezone));
}
