#include "FrameStamp.h"

#include <ctime>
#include <string>

namespace cvl::view {

namespace {

constexpr uint8_t kMarkerStart = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kComment = 0xFE;

// A decimal number of at most 19 digits (fits a signed 64-bit value).
bool ParseDecimal(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    value = result;
    return true;
}

bool ParseComment(const uint8_t* text, size_t length, FrameStamp& stamp) {
    bool haveSequence = false;
    bool haveTime = false;
    FrameStamp parsed;
    size_t i = 0;
    while (i < length) {
        while (i < length && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                              text[i] == '\r' || text[i] == '\0'))
            ++i;
        const size_t begin = i;
        while (i < length && !(text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\r' || text[i] == '\0'))
            ++i;
        const std::string word(reinterpret_cast<const char*>(text) + begin, i - begin);
        uint64_t value = 0;
        if (word.rfind("seq=", 0) == 0 && ParseDecimal(word.substr(4), value)) {
            parsed.sequence = value;
            haveSequence = true;
        } else if (word.rfind("t=", 0) == 0 && ParseDecimal(word.substr(2), value)) {
            parsed.monotonicNs = static_cast<int64_t>(value);
            haveTime = true;
        }
    }
    if (!haveSequence || !haveTime)
        return false;
    stamp = parsed;
    return true;
}

} // namespace

bool ReadFrameStamp(const uint8_t* bytes, size_t length, FrameStamp& stamp) {
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
        if (marker == kComment && ParseComment(bytes + offset + 4, segmentLength - 2, stamp))
            return true;
        offset += 2 + segmentLength;
    }
    return false;
}

int64_t MonotonicNowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

} // namespace cvl::view
