// The JPEG header reading of the viewer host: the stamp comment looked for in
// whatever bytes a frame holds.
#include "FrameStamp.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly size bytes, so that any read past the end is caught.
    const std::vector<uint8_t> bytes(data, data + size);
    cvl::view::FrameStamp stamp;
    cvl::view::ReadFrameStamp(bytes.data(), bytes.size(), stamp);
    return 0;
}
