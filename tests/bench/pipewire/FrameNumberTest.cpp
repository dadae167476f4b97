#include "FrameNumber.h"
#include "JpegDecoder.h"

#include "imaging/JpegEncoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using cvl::imaging::Canvas;
using cvl::imaging::Color;

// A busy picture like the camera's: colour bars, the number, a bright bar
// through the middle band's edge.
Canvas Numbered(int width, int height, uint32_t number) {
    Canvas canvas(width, height, Color{24, 28, 40});
    const Color bars[] = {{235, 235, 16}, {16, 235, 235}, {235, 16, 235}, {16, 16, 235}};
    for (int b = 0; b < 4; ++b)
        canvas.FillRect(b * width / 4, 0, width / 4 + 1, height / 4, bars[b]);
    cvl::test::DrawFrameNumber(canvas, number);
    canvas.FillRect(0, height / 2 - 2, width / 10, 4, Color{250, 250, 250});
    return canvas;
}

// Encoded at the camera's quality and decoded as a consumer does; the luma
// of the packed YCbCr result.
bool ReadThroughJpeg(const Canvas& canvas, uint32_t& number) {
    const std::vector<uint8_t> jpeg = cvl::imaging::EncodeJpeg(canvas, 80);
    std::vector<uint8_t> pixels;
    int width = 0, height = 0;
    if (!cvl::bench::DecodeJpeg(jpeg.data(), jpeg.size(), pixels, width, height))
        return false;
    return cvl::test::ReadFrameNumber(pixels.data(), width, height, static_cast<size_t>(width) * 3,
                                      3, number);
}

TEST(FrameNumber, EveryNumberSurvivesJpegAtTheCameraQuality) {
    for (uint32_t n = 0; n < cvl::test::kFrameNumbers; ++n) {
        uint32_t read = 9999;
        ASSERT_TRUE(ReadThroughJpeg(Numbered(320, 240, n), read)) << n;
        EXPECT_EQ(read, n);
    }
    uint32_t read = 0;
    ASSERT_TRUE(ReadThroughJpeg(Numbered(3840, 2160, 0xA5), read));
    EXPECT_EQ(read, 0xA5u);
    ASSERT_TRUE(ReadThroughJpeg(Numbered(96, 64, 0x5A), read));
    EXPECT_EQ(read, 0x5Au);
}

TEST(FrameNumber, ReadsPlanarAndPackedLumaWithRowPadding) {
    // YUY2-like rows: luma every other byte, rows padded past the width.
    const int width = 200, height = 100;
    const Canvas canvas = Numbered(width, height, 77);
    const size_t stride = static_cast<size_t>(width) * 2 + 64;
    std::vector<uint8_t> packed(stride * height, 128);
    std::vector<uint8_t> planar(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t* rgb = &canvas.Pixels()[(static_cast<size_t>(y) * width + x) * 3];
            const auto luma = static_cast<uint8_t>((rgb[0] * 77 + rgb[1] * 150 + rgb[2] * 29) >> 8);
            packed[static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 2] = luma;
            planar[static_cast<size_t>(y) * width + x] = luma;
        }
    uint32_t read = 0;
    ASSERT_TRUE(cvl::test::ReadFrameNumber(packed.data(), width, height, stride, 2, read));
    EXPECT_EQ(read, 77u);
    read = 0;
    ASSERT_TRUE(cvl::test::ReadFrameNumber(planar.data(), width, height, width, 1, read));
    EXPECT_EQ(read, 77u);
}

TEST(FrameNumber, APictureWithoutANumberReadsAsNone) {
    uint32_t read = 0;
    // Uniform grey, and a picture whose two rows agree (no inverse).
    std::vector<uint8_t> grey(320 * 240, 128);
    EXPECT_FALSE(cvl::test::ReadFrameNumber(grey.data(), 320, 240, 320, 1, read));
    Canvas canvas = Numbered(320, 240, 200);
    canvas.FillRect(0, 240 / 2, 320, 60, Color{235, 235, 235});
    EXPECT_FALSE(ReadThroughJpeg(canvas, read));
    // A picture too small to hold the blocks.
    EXPECT_FALSE(cvl::test::ReadFrameNumber(grey.data(), 12, 12, 12, 1, read));
}

} // namespace
