#include "FrameNumber.h"

#include "imaging/JpegEncoder.h"

#include <string>

namespace cvl::test {

namespace {

constexpr int kBits = 8;

// The blocks' place: kBits blocks in the middle of the width (a margin of
// two blocks each side), two rows centred vertically.
struct Layout {
    int block, left, top;
};

Layout Place(int width, int height) {
    const int block = width / (kBits + 4) < height / 4 ? width / (kBits + 4) : height / 4;
    return {block, (width - kBits * block) / 2, height / 2 - block};
}

// Mean luma of the middle half of one block.
int BlockMean(const uint8_t* luma, size_t rowStride, size_t pixelStride, int x, int y, int block) {
    const int inset = block / 4, side = block - 2 * inset;
    unsigned sum = 0;
    for (int row = y + inset; row < y + inset + side; ++row)
        for (int column = x + inset; column < x + inset + side; ++column)
            sum += luma[static_cast<size_t>(row) * rowStride +
                        static_cast<size_t>(column) * pixelStride];
    return static_cast<int>(sum / static_cast<unsigned>(side * side));
}

} // namespace

void DrawFrameNumber(imaging::Canvas& canvas, uint32_t number) {
    const Layout at = Place(canvas.Width(), canvas.Height());
    const imaging::Color light{235, 235, 235}, dark{16, 16, 16};
    for (int bit = 0; bit < kBits; ++bit) {
        const bool set = (number >> (kBits - 1 - bit)) & 1;
        const int x = at.left + bit * at.block;
        canvas.FillRect(x, at.top, at.block, at.block, set ? light : dark);
        canvas.FillRect(x, at.top + at.block, at.block, at.block, set ? dark : light);
    }
}

std::vector<uint8_t> NumberedPicture(int width, int height, uint32_t number) {
    using namespace imaging;
    Canvas canvas(width, height, Color{24, 28, 40});
    const Color bars[] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                          {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {40, 40, 40}};
    for (int b = 0; b < 8; ++b)
        canvas.FillRect(b * width / 8, 0, width / 8 + 1, height / 4, bars[b]);
    DrawFrameNumber(canvas, number);
    const int radius = height / 16 > 2 ? height / 16 : 2;
    const int travel = width - 2 * radius;
    canvas.FillCircle(radius + static_cast<int>(number * 37 % kFrameNumbers) * travel /
                                   static_cast<int>(kFrameNumbers),
                      height * 13 / 16, radius, Color{250, 140, 20});
    const int scale =
        height / 10 / Canvas::kGlyphHeight > 1 ? height / 10 / Canvas::kGlyphHeight : 1;
    canvas.DrawTextCentred(height * 5 / 8, "FRAME " + std::to_string(number), scale,
                           Color{255, 255, 255});
    return EncodeJpeg(canvas, 80);
}

bool ReadFrameNumber(const uint8_t* luma, int width, int height, size_t rowStride,
                     size_t pixelStride, uint32_t& number) {
    const Layout at = Place(width, height);
    if (at.block < 4 || !luma)
        return false;
    uint32_t value = 0;
    for (int bit = 0; bit < kBits; ++bit) {
        const int x = at.left + bit * at.block;
        const int upper = BlockMean(luma, rowStride, pixelStride, x, at.top, at.block);
        const int lower = BlockMean(luma, rowStride, pixelStride, x, at.top + at.block, at.block);
        // Light and dark are 235 and 16 when drawn: demand a clear difference.
        if (upper - lower > 96)
            value = value << 1 | 1;
        else if (lower - upper > 96)
            value = value << 1;
        else
            return false;
    }
    number = value;
    return true;
}

} // namespace cvl::test
