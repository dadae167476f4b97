#include "LookRenderer.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zelsdk {

namespace {

using cvl::imaging::Canvas;
using cvl::imaging::Color;

// A box blur of the given radius along rows (step 3, count width) or
// columns, with running sums: the cost does not grow with the radius.
void BoxBlur(std::vector<uint8_t>& pixels, int width, int height, int radius, bool rows) {
    const int lines = rows ? height : width;
    const int length = rows ? width : height;
    const size_t step = rows ? 3 : static_cast<size_t>(width) * 3;
    std::vector<uint8_t> line(static_cast<size_t>(length) * 3);
    for (int l = 0; l < lines; ++l) {
        uint8_t* start = pixels.data() +
                         (rows ? static_cast<size_t>(l) * width * 3 : static_cast<size_t>(l) * 3);
        for (int i = 0; i < length; ++i)
            for (int c = 0; c < 3; ++c)
                line[static_cast<size_t>(i) * 3 + c] = start[static_cast<size_t>(i) * step + c];
        for (int c = 0; c < 3; ++c) {
            // The window [i - radius, i + radius], clamped at the edges.
            int sum = 0;
            for (int k = -radius; k <= radius; ++k)
                sum += line[static_cast<size_t>(std::clamp(k, 0, length - 1)) * 3 + c];
            const int window = 2 * radius + 1;
            for (int i = 0; i < length; ++i) {
                start[static_cast<size_t>(i) * step + c] = static_cast<uint8_t>(sum / window);
                const int out = std::clamp(i - radius, 0, length - 1);
                const int in = std::clamp(i + radius + 1, 0, length - 1);
                sum +=
                    line[static_cast<size_t>(in) * 3 + c] - line[static_cast<size_t>(out) * 3 + c];
            }
        }
    }
}

} // namespace

Canvas RenderLook(const Canvas& picture, const Look& look) {
    const int sourceWidth = picture.Width();
    const int sourceHeight = picture.Height();
    int width = sourceWidth;
    int height = sourceHeight;
    if (look.width > 0 && look.baseWidth > 0 && look.baseHeight > 0) {
        width = std::max(
            1, static_cast<int>(static_cast<int64_t>(sourceWidth) * look.width / look.baseWidth));
        height = std::max(1, static_cast<int>(static_cast<int64_t>(sourceHeight) * look.height /
                                              look.baseHeight));
    }
    Canvas out(width, height, Color{0, 0, 0});
    if (sourceWidth <= 0 || sourceHeight <= 0)
        return out;

    // The magnified part, kept inside the picture.
    const uint32_t zoom = std::max<uint32_t>(look.zoom, 1);
    const int cropWidth = std::max(1, static_cast<int>(sourceWidth / zoom));
    const int cropHeight = std::max(1, static_cast<int>(sourceHeight / zoom));
    const int left = std::clamp(
        static_cast<int>(static_cast<int64_t>(look.centreX) * sourceWidth / 1000) - cropWidth / 2,
        0, sourceWidth - cropWidth);
    const int top = std::clamp(
        static_cast<int>(static_cast<int64_t>(look.centreY) * sourceHeight / 1000) - cropHeight / 2,
        0, sourceHeight - cropHeight);
    std::vector<int> columns(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x)
        columns[static_cast<size_t>(x)] =
            left + static_cast<int>(static_cast<int64_t>(x) * cropWidth / width);

    // Exposure and tint as one table per channel.
    uint8_t table[3][256];
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v)
            table[c][v] = static_cast<uint8_t>(std::min(255.0f, v * look.gain[c] + 0.5f));

    const std::vector<uint8_t>& in = picture.Pixels();
    std::vector<uint8_t>& pixels = out.Pixels();
    for (int y = 0; y < height; ++y) {
        const int sy = top + static_cast<int>(static_cast<int64_t>(y) * cropHeight / height);
        const uint8_t* row = in.data() + static_cast<size_t>(sy) * sourceWidth * 3;
        uint8_t* target = pixels.data() + static_cast<size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = row + static_cast<size_t>(columns[static_cast<size_t>(x)]) * 3;
            target[x * 3] = table[0][p[0]];
            target[x * 3 + 1] = table[1][p[1]];
            target[x * 3 + 2] = table[2][p[2]];
        }
    }
    if (look.blur > 0) {
        BoxBlur(pixels, width, height, look.blur, true);
        BoxBlur(pixels, width, height, look.blur, false);
    }
    return out;
}

} // namespace zelsdk
