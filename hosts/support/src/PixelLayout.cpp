#include "cvlhost/PixelLayout.h"

#include <cstring>
#include <vector>

namespace cvl::host {

namespace {

// For each destination column (or row), the source column (or row) it samples.
std::vector<int> SampleMap(int from, int to) {
    std::vector<int> map(static_cast<size_t>(to));
    for (int i = 0; i < to; ++i)
        map[static_cast<size_t>(i)] =
            static_cast<int>((static_cast<int64_t>(i) * from + from / 2) / to) % from;
    return map;
}

} // namespace

const char* PixelFormatName(PixelFormat format) {
    switch (format) {
    case PixelFormat::Mjpg:
        return "MJPG";
    case PixelFormat::I420:
        return "I420";
    case PixelFormat::Nv12:
        return "NV12";
    case PixelFormat::Yuy2:
        return "YUY2";
    }
    return "unknown";
}

size_t FrameBytes(PixelFormat format, int width, int height) {
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    switch (format) {
    case PixelFormat::I420:
    case PixelFormat::Nv12:
        return pixels * 3 / 2;
    case PixelFormat::Yuy2:
        return pixels * 2;
    case PixelFormat::Mjpg:
        // A live-view JPEG stays far below two bytes a pixel; the floor
        // covers small pictures with large headers.
        return pixels * 2 + 65536;
    }
    return 0;
}

int FirstStride(PixelFormat format, int width) {
    switch (format) {
    case PixelFormat::Yuy2:
        return width * 2;
    case PixelFormat::Mjpg:
        return 0;
    default:
        return width;
    }
}

void WriteRaw(const YcbcrImage& image, PixelFormat format, int width, int height,
              uint8_t* destination) {
    const std::vector<int> columns = SampleMap(image.width, width);
    const std::vector<int> rows = SampleMap(image.height, height);
    const size_t sourceStride = static_cast<size_t>(image.width) * 3;
    auto at = [&](int x, int y) {
        return image.pixels.data() +
               static_cast<size_t>(rows[static_cast<size_t>(y)]) * sourceStride +
               static_cast<size_t>(columns[static_cast<size_t>(x)]) * 3;
    };

    if (format == PixelFormat::Yuy2) {
        for (int y = 0; y < height; ++y) {
            uint8_t* out = destination + static_cast<size_t>(y) * width * 2;
            for (int x = 0; x + 1 < width; x += 2) {
                const uint8_t* a = at(x, y);
                const uint8_t* b = at(x + 1, y);
                out[0] = a[0];
                out[1] = static_cast<uint8_t>((a[1] + b[1] + 1) / 2);
                out[2] = b[0];
                out[3] = static_cast<uint8_t>((a[2] + b[2] + 1) / 2);
                out += 4;
            }
        }
        return;
    }
    if (format != PixelFormat::I420 && format != PixelFormat::Nv12)
        return;

    const size_t lumaBytes = static_cast<size_t>(width) * height;
    for (int y = 0; y < height; ++y) {
        uint8_t* out = destination + static_cast<size_t>(y) * width;
        for (int x = 0; x < width; ++x)
            out[x] = at(x, y)[0];
    }
    const int chromaWidth = width / 2;
    uint8_t* planeU = destination + lumaBytes;
    uint8_t* planeV = planeU + lumaBytes / 4;
    for (int y = 0; y + 1 < height; y += 2) {
        for (int x = 0; x + 1 < width; x += 2) {
            const uint8_t* p00 = at(x, y);
            const uint8_t* p01 = at(x + 1, y);
            const uint8_t* p10 = at(x, y + 1);
            const uint8_t* p11 = at(x + 1, y + 1);
            const auto cb = static_cast<uint8_t>((p00[1] + p01[1] + p10[1] + p11[1] + 2) / 4);
            const auto cr = static_cast<uint8_t>((p00[2] + p01[2] + p10[2] + p11[2] + 2) / 4);
            const size_t index = static_cast<size_t>(y / 2) * chromaWidth + x / 2;
            if (format == PixelFormat::I420) {
                planeU[index] = cb;
                planeV[index] = cr;
            } else {
                planeU[index * 2] = cb;
                planeU[index * 2 + 1] = cr;
            }
        }
    }
}

void WritePlanar(const PlanarImage& image, PixelFormat format, uint8_t* destination) {
    const size_t width = static_cast<size_t>(image.width);
    const size_t height = static_cast<size_t>(image.height);
    const size_t chromaWidth = width / 2;
    const size_t lumaStride = static_cast<size_t>(image.lumaStride);
    const size_t chromaStride = static_cast<size_t>(image.chromaStride);
    if (format == PixelFormat::Yuy2) {
        for (size_t y = 0; y < height; ++y) {
            const uint8_t* luma = image.luma.data() + y * lumaStride;
            const uint8_t* cb = image.cb.data() + (y / 2) * chromaStride;
            const uint8_t* cr = image.cr.data() + (y / 2) * chromaStride;
            uint8_t* out = destination + y * width * 2;
            for (size_t x = 0; x < chromaWidth; ++x) {
                out[0] = luma[2 * x];
                out[1] = cb[x];
                out[2] = luma[2 * x + 1];
                out[3] = cr[x];
                out += 4;
            }
        }
        return;
    }
    if (format != PixelFormat::I420 && format != PixelFormat::Nv12)
        return;
    for (size_t y = 0; y < height; ++y)
        std::memcpy(destination + y * width, image.luma.data() + y * lumaStride, width);
    uint8_t* chroma = destination + width * height;
    const size_t chromaHeight = height / 2;
    for (size_t y = 0; y < chromaHeight; ++y) {
        const uint8_t* cb = image.cb.data() + y * chromaStride;
        const uint8_t* cr = image.cr.data() + y * chromaStride;
        if (format == PixelFormat::I420) {
            std::memcpy(chroma + y * chromaWidth, cb, chromaWidth);
            std::memcpy(chroma + chromaHeight * chromaWidth + y * chromaWidth, cr, chromaWidth);
        } else {
            uint8_t* out = chroma + y * width;
            for (size_t x = 0; x < chromaWidth; ++x) {
                out[2 * x] = cb[x];
                out[2 * x + 1] = cr[x];
            }
        }
    }
}

YcbcrImage Scaled(const YcbcrImage& image, int width, int height) {
    YcbcrImage scaled;
    scaled.width = width;
    scaled.height = height;
    scaled.pixels.resize(static_cast<size_t>(width) * height * 3);
    const std::vector<int> columns = SampleMap(image.width, width);
    const std::vector<int> rows = SampleMap(image.height, height);
    for (int y = 0; y < height; ++y) {
        const uint8_t* source = image.pixels.data() +
                                static_cast<size_t>(rows[static_cast<size_t>(y)]) * image.width * 3;
        uint8_t* out = scaled.pixels.data() + static_cast<size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            const uint8_t* pixel =
                source + static_cast<size_t>(columns[static_cast<size_t>(x)]) * 3;
            out[x * 3] = pixel[0];
            out[x * 3 + 1] = pixel[1];
            out[x * 3 + 2] = pixel[2];
        }
    }
    return scaled;
}

} // namespace cvl::host
