#include "cvlhost/RelayMessage.h"

#include <cstring>

namespace cvl::host {

namespace {

const unsigned char kMagic[4] = {'C', 'V', 'L', 'R'};
constexpr unsigned char kVersion = 1;

void PutLength(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t GetLength(const unsigned char* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(in[i]) << (8 * i);
    return value;
}

} // namespace

void RelayHeader::Encode(unsigned char (&out)[kSize]) const {
    std::memset(out, 0, kSize);
    std::memcpy(out, kMagic, sizeof kMagic);
    out[4] = kVersion;
    out[5] = static_cast<unsigned char>(kind);
    out[6] = static_cast<unsigned char>(state);
    PutLength(out + 8, length);
}

bool RelayHeader::Decode(const unsigned char (&in)[kSize]) {
    if (std::memcmp(in, kMagic, sizeof kMagic) != 0 || in[4] != kVersion || in[7] != 0)
        return false;
    for (size_t i = 12; i < kSize; ++i) {
        if (in[i] != 0)
            return false;
    }
    if (in[5] > static_cast<unsigned char>(FrameKind::Disconnected) ||
        in[6] > static_cast<unsigned char>(StreamState::NoCamera))
        return false;
    const uint32_t bytes = GetLength(in + 8);
    if (bytes == 0 || bytes > kMaxFrameBytes)
        return false;
    kind = static_cast<FrameKind>(in[5]);
    state = static_cast<StreamState>(in[6]);
    length = bytes;
    return true;
}

} // namespace cvl::host
