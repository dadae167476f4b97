// The hosts' JPEG header reading: the stamp comment and the frame header
// (size, sampling) looked for in whatever bytes a frame holds.
#include "cvlhost/FrameStamp.h"
#include "cvlhost/JpegHeader.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly size bytes, so that any read past the end is caught.
    const std::vector<uint8_t> bytes(data, data + size);
    cvl::host::FrameStamp stamp;
    cvl::host::ReadFrameStamp(bytes.data(), bytes.size(), stamp);
    cvl::host::JpegInfo info;
    cvl::host::ReadJpegInfo(bytes.data(), bytes.size(), info);
    return 0;
}
