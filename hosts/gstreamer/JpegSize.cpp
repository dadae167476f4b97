#include "JpegSize.h"

namespace cvl::gst {

namespace {

constexpr uint8_t kMarkerStart = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kEndOfImage = 0xD9;

// Frame headers: SOF0 to SOF15 but DHT (C4), JPG (C8) and DAC (CC).
bool IsFrameHeader(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

} // namespace

bool ReadJpegSize(const uint8_t* bytes, size_t length, int& width, int& height) {
    if (!bytes || length < 4 || bytes[0] != kMarkerStart || bytes[1] != kStartOfImage)
        return false;
    size_t offset = 2;
    while (offset + 4 <= length) {
        if (bytes[offset] != kMarkerStart)
            return false;
        const uint8_t marker = bytes[offset + 1];
        if (marker == kMarkerStart) { // fill byte before a marker
            ++offset;
            continue;
        }
        if (marker == kStartOfScan || marker == kEndOfImage)
            return false;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) { // no length field
            offset += 2;
            continue;
        }
        const size_t segmentLength =
            (static_cast<size_t>(bytes[offset + 2]) << 8) | bytes[offset + 3];
        if (segmentLength < 2 || offset + 2 + segmentLength > length)
            return false;
        if (IsFrameHeader(marker)) {
            // Length (2), sample precision (1), height (2), width (2), ...
            if (segmentLength < 7)
                return false;
            const uint8_t* header = bytes + offset + 4;
            const int h = (header[1] << 8) | header[2];
            const int w = (header[3] << 8) | header[4];
            if (w == 0 || h == 0)
                return false;
            width = w;
            height = h;
            return true;
        }
        offset += 2 + segmentLength;
    }
    return false;
}

} // namespace cvl::gst
