#include "cvlhost/JpegHeader.h"

namespace cvl::host {

namespace {

constexpr uint8_t kMarkerStart = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kEndOfImage = 0xD9;

// Frame headers: SOF0 to SOF15 but DHT (C4), JPG (C8) and DAC (CC).
bool IsFrameHeader(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Progressive frame headers: SOF2, SOF6, SOF10, SOF14.
bool IsProgressive(uint8_t marker) {
    return marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
}

// The luma component's factors (first component) against the chroma
// components' (all others, which must agree).
JpegSampling SamplingOf(const uint8_t* header, size_t length, int components) {
    if (components == 1)
        return JpegSampling::Grey;
    if (components != 3 || length < 6 + 3 * 3)
        return JpegSampling::Unknown;
    // Each component: identifier, factors (horizontal << 4 | vertical), table.
    const int lumaH = header[6 + 1] >> 4;
    const int lumaV = header[6 + 1] & 0x0F;
    const int chromaH = header[6 + 3 + 1] >> 4;
    const int chromaV = header[6 + 3 + 1] & 0x0F;
    if (header[6 + 6 + 1] != header[6 + 3 + 1] || chromaH == 0 || chromaV == 0 ||
        lumaH % chromaH != 0 || lumaV % chromaV != 0)
        return JpegSampling::Unknown;
    const int h = lumaH / chromaH;
    const int v = lumaV / chromaV;
    if (h == 1 && v == 1)
        return JpegSampling::S444;
    if (h == 2 && v == 1)
        return JpegSampling::S422;
    if (h == 2 && v == 2)
        return JpegSampling::S420;
    if (h == 1 && v == 2)
        return JpegSampling::S440;
    if (h == 4 && v == 1)
        return JpegSampling::S411;
    return JpegSampling::Unknown;
}

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

const char* SamplingName(JpegSampling sampling) {
    switch (sampling) {
    case JpegSampling::Grey:
        return "grey";
    case JpegSampling::S444:
        return "4:4:4";
    case JpegSampling::S422:
        return "4:2:2";
    case JpegSampling::S420:
        return "4:2:0";
    case JpegSampling::S440:
        return "4:4:0";
    case JpegSampling::S411:
        return "4:1:1";
    case JpegSampling::Unknown:
        break;
    }
    return "unknown";
}

bool ReadJpegInfo(const uint8_t* bytes, size_t length, JpegInfo& info) {
    bool found = false;
    VisitHeaderSegments(bytes, length, [&](uint8_t marker, const uint8_t* header, size_t size) {
        if (!IsFrameHeader(marker))
            return false;
        // Sample precision (1), height (2), width (2), components (1), then
        // three bytes a component: the first frame header decides.
        if (size >= 6) {
            JpegInfo read;
            read.height = (header[1] << 8) | header[2];
            read.width = (header[3] << 8) | header[4];
            read.components = header[5];
            read.progressive = IsProgressive(marker);
            if (read.width > 0 && read.height > 0 &&
                size >= 6 + 3 * static_cast<size_t>(read.components)) {
                read.sampling = SamplingOf(header, size, read.components);
                info = read;
                found = true;
            }
        }
        return true;
    });
    return found;
}

bool ReadJpegSize(const uint8_t* bytes, size_t length, int& width, int& height) {
    JpegInfo info;
    if (!ReadJpegInfo(bytes, length, info))
        return false;
    width = info.width;
    height = info.height;
    return true;
}

bool EndsWithEndOfImage(const uint8_t* bytes, size_t length) {
    if (!bytes || length < 4)
        return false;
    const size_t reach = length < kEndOfImageReach ? length : kEndOfImageReach;
    // The start-of-image marker's own bytes are never paired.
    const size_t first = length - reach < 2 ? 2 : length - reach;
    for (size_t i = length - 1; i > first; --i) {
        if (bytes[i] == 0xD9 && bytes[i - 1] == 0xFF)
            return true;
    }
    return false;
}

} // namespace cvl::host
