// Decoding a JPEG into an RGB canvas through libjpeg.
#ifndef CVL_PLATFORM_IMAGING_JPEGDECODER_H
#define CVL_PLATFORM_IMAGING_JPEGDECODER_H

#include "BitmapFont.h"

#include <cstdint>
#include <vector>

namespace cvl::imaging {

// Decodes the JPEG into canvas (resized to the picture); false, with canvas
// untouched, when the bytes are no JPEG libjpeg can read.
bool DecodeJpeg(const std::vector<uint8_t>& jpeg, Canvas& canvas);

} // namespace cvl::imaging

#endif
