#include "Picture.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace cvl::test {

bool Near(const Rgb& a, const Rgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

Picture Picture::Sampled(int columns, int rows) const {
    Picture sampled;
    if (Empty() || columns <= 0 || rows <= 0)
        return sampled;
    sampled.width = columns;
    sampled.height = rows;
    sampled.rgb.reserve(static_cast<size_t>(columns) * rows * 3);
    for (int row = 0; row < rows; ++row) {
        const int y = static_cast<int>((row + 0.5) * height / rows);
        for (int column = 0; column < columns; ++column) {
            const Rgb pixel = At(static_cast<int>((column + 0.5) * width / columns), y);
            sampled.rgb.push_back(static_cast<unsigned char>(pixel.r));
            sampled.rgb.push_back(static_cast<unsigned char>(pixel.g));
            sampled.rgb.push_back(static_cast<unsigned char>(pixel.b));
        }
    }
    return sampled;
}

namespace {

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

// A damaged file is a failed decode, not an exit of the test program: the
// decoder must not go on after an error, so this returns to the caller's
// setjmp.
[[noreturn]] void OnJpegError(j_common_ptr decoder) {
    std::longjmp(reinterpret_cast<JpegErrors*>(decoder->err)->jump, 1);
}

} // namespace

bool DecodeJpegFile(const std::string& path, Picture& picture) {
    std::string bytes;
    if (!ReadFile(path, bytes) || bytes.empty())
        return false;
    jpeg_decompress_struct decoder;
    JpegErrors errors;
    decoder.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = OnJpegError;
    jpeg_create_decompress(&decoder);
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&decoder);
        return false;
    }
    jpeg_mem_src(&decoder, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&decoder, TRUE);
    decoder.out_color_space = JCS_RGB;
    jpeg_start_decompress(&decoder);
    picture.width = static_cast<int>(decoder.output_width);
    picture.height = static_cast<int>(decoder.output_height);
    picture.rgb.assign(static_cast<size_t>(picture.width) * picture.height * 3, 0);
    while (decoder.output_scanline < decoder.output_height) {
        JSAMPROW row =
            &picture.rgb[static_cast<size_t>(decoder.output_scanline) * picture.width * 3];
        jpeg_read_scanlines(&decoder, &row, 1);
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    return picture.width > 0;
}

bool DecodePngFile(const std::string& path, Picture& picture) {
    std::string size;
    if (RunCommand("identify -format '%w %h' " + ShellQuote(path) + " 2>/dev/null", &size) != 0 ||
        std::sscanf(size.c_str(), "%d %d", &picture.width, &picture.height) != 2)
        return false;
    std::string pixels;
    if (RunCommand("convert " + ShellQuote(path) + " -depth 8 rgb:- 2>/dev/null", &pixels) != 0 ||
        pixels.size() != static_cast<size_t>(picture.width) * picture.height * 3)
        return false;
    picture.rgb.assign(pixels.begin(), pixels.end());
    return true;
}

bool ShowsColourBars(const Picture& picture, int minRun) {
    const Rgb bars[] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                        {235, 16, 235},  {235, 16, 16},  {16, 16, 235}};
    const int step = picture.height > 100 ? 3 : 1;
    for (int y = 0; y < picture.height; y += step) {
        int next = 0; // the bar looked for
        int run = 0;
        int current = -1;
        for (int x = 0; x < picture.width && next < 7; ++x) {
            int found = -1;
            for (int b = 0; b < 7; ++b)
                if (Near(picture.At(x, y), bars[b], 40))
                    found = b;
            run = found == current ? run + 1 : 1;
            current = found;
            if (found == next && run >= minRun)
                ++next;
        }
        if (next == 7)
            return true;
    }
    return false;
}

int PixelsOf(const Picture& picture, const Rgb& colour) {
    int count = 0;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            count += Near(picture.At(x, y), colour, 16);
    return count;
}

double MeanDifference(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height || a.rgb.empty())
        return 255;
    double total = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i)
        total += std::abs(static_cast<int>(a.rgb[i]) - static_cast<int>(b.rgb[i]));
    return total / static_cast<double>(a.rgb.size());
}

namespace {

// The pictures are compared on a coarse grid: enough to tell the bars and
// the status pictures apart, cheap enough for every frame.
constexpr int kGridColumns = 96;
constexpr int kGridRows = 64;

const Picture& StockPicture(Shown shown) {
    static const std::map<Shown, Picture> pictures = [] {
        std::map<Shown, Picture> loaded;
        const std::pair<Shown, const char*> files[] = {{Shown::Waiting, "error.jpg"},
                                                       {Shown::Busy, "errorBusy.jpg"},
                                                       {Shown::NoCamera, "errorNoDevice.jpg"}};
        for (const auto& [kind, name] : files) {
            Picture full;
            EXPECT_TRUE(DecodeJpegFile(BinaryDir() + "/resources/" + name, full)) << name;
            loaded[kind] = full.Empty() ? full : full.Sampled(kGridColumns, kGridRows);
        }
        return loaded;
    }();
    return pictures.at(shown);
}

} // namespace

const char* ShownName(Shown shown) {
    switch (shown) {
    case Shown::Bars:
        return "bars";
    case Shown::Waiting:
        return "waiting";
    case Shown::Busy:
        return "busy";
    case Shown::NoCamera:
        return "no camera";
    case Shown::Other:
        return "other";
    }
    return "?";
}

Shown Classify(const Picture& picture) {
    const Picture grid = picture.Sampled(kGridColumns, kGridRows);
    // A tenth of the bars' width at this grid: 12 cells each.
    if (ShowsColourBars(grid, 6))
        return Shown::Bars;
    for (Shown shown : {Shown::Waiting, Shown::Busy, Shown::NoCamera}) {
        if (MeanDifference(grid, StockPicture(shown)) < 20)
            return shown;
    }
    return Shown::Other;
}

} // namespace cvl::test
