// Full decoding of a JPEG as a video application does it, to packed YCbCr
// (3 bytes a pixel, the luma first), with libjpeg-turbo.
#ifndef CVL_BENCH_PIPEWIRE_JPEGDECODER_H
#define CVL_BENCH_PIPEWIRE_JPEGDECODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cvl::bench {

// False for anything libjpeg cannot decode; pixels keeps its memory from
// call to call.
bool DecodeJpeg(const uint8_t* bytes, size_t length, std::vector<uint8_t>& pixels, int& width,
                int& height);

} // namespace cvl::bench

#endif
