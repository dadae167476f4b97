// A frame number drawn into the picture as large blocks, so that it survives
// JPEG compression, decoding and conversion to any YUV layout: a row of 8
// blocks with the number's bits (most significant first, light for 1) above
// a row with the same bits inverted, which tells a read number from noise.
// The benchmarks use it to find the camera's frame in a decoded raw picture.
#ifndef CVL_TESTS_ZELSDK_GPHOTO2_FRAMENUMBER_H
#define CVL_TESTS_ZELSDK_GPHOTO2_FRAMENUMBER_H

#include "imaging/BitmapFont.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cvl::test {

// Numbers run from 0 to kFrameNumbers - 1.
constexpr uint32_t kFrameNumbers = 256;

// Draws number (taken modulo kFrameNumbers) across the middle of the canvas.
void DrawFrameNumber(imaging::Canvas& canvas, uint32_t number);

// Picture number of a numbered loop, as a JPEG: colour bars, the number's
// blocks, a disc that moves from picture to picture and the number as text.
std::vector<uint8_t> NumberedPicture(int width, int height, uint32_t number);

// Reads the number from the luma of a picture of width x height: the first
// row starts at luma, rows are rowStride bytes apart and pixels pixelStride
// bytes (1 for planar Y, 2 for YUY2, 3 for packed YCbCr). False when any
// block is unclear or a bit and its inverse agree.
bool ReadFrameNumber(const uint8_t* luma, int width, int height, size_t rowStride,
                     size_t pixelStride, uint32_t& number);

} // namespace cvl::test

#endif
