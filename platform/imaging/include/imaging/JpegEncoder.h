// Baseline JPEG encoding of a canvas through libjpeg.
#ifndef CVL_PLATFORM_IMAGING_JPEGENCODER_H
#define CVL_PLATFORM_IMAGING_JPEGENCODER_H

#include "BitmapFont.h"

#include <cstdint>
#include <vector>

namespace cvl::imaging {

// Encodes the canvas as a baseline JFIF JPEG of the given quality (1 to 100).
// The output is deterministic: the same canvas gives the same bytes.
std::vector<uint8_t> EncodeJpeg(const Canvas& canvas, int quality);

} // namespace cvl::imaging

#endif
