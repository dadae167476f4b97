#include "JpegSegments.h"

namespace cvl::view {

namespace {

constexpr uint8_t kMarkerStart = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kEndOfImage = 0xD9;

} // namespace

bool VisitHeaderSegments(const uint8_t* bytes, size_t length, const SegmentVisitor& visit) {
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
        // Markers without a length field (TEM, RSTn) carry no segment.
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            offset += 2;
            continue;
        }
        const size_t segmentLength =
            (static_cast<size_t>(bytes[offset + 2]) << 8) | bytes[offset + 3];
        if (segmentLength < 2 || offset + 2 + segmentLength > length)
            return false;
        if (visit(marker, bytes + offset + 4, segmentLength - 2))
            return true;
        offset += 2 + segmentLength;
    }
    return false;
}

} // namespace cvl::view
