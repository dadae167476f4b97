#include "cvlhost/FrameStamp.h"

#include "cvlhost/JpegHeader.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace cvl::host {

namespace {

constexpr uint8_t kComment = 0xFE;

// A decimal number of at most 19 digits (fits 64 bits unsigned).
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
        } else if (word.rfind("t=", 0) == 0 && ParseDecimal(word.substr(2), value) &&
                   value <= static_cast<uint64_t>(INT64_MAX)) {
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
    return VisitHeaderSegments(
        bytes, length, [&](uint8_t marker, const uint8_t* payload, size_t payloadLength) {
            return marker == kComment && ParseComment(payload, payloadLength, stamp);
        });
}

int64_t MonotonicNowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

} // namespace cvl::host
