// Pictures as tests look at them: RGB pixels from a screenshot, a JPEG file
// or a page's samples, and the checks that tell the simulator's colour bars
// and the status pictures apart.
#ifndef CVL_TESTS_SUPPORT_BROWSER_PICTURE_H
#define CVL_TESTS_SUPPORT_BROWSER_PICTURE_H

#include <string>
#include <vector>

namespace cvl::test {

struct Rgb {
    int r, g, b;
};

bool Near(const Rgb& a, const Rgb& b, int tolerance);

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb; // width * height * 3, row by row

    Rgb At(int x, int y) const {
        const unsigned char* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        return Rgb{p[0], p[1], p[2]};
    }
    bool Empty() const { return width <= 0 || height <= 0; }
    // The picture sampled at the centres of a columns x rows grid (nearest
    // pixel, no blending, so that colours stay what they were).
    Picture Sampled(int columns, int rows) const;
};

bool DecodeJpegFile(const std::string& path, Picture& picture);
// Decodes PNG through ImageMagick's convert.
bool DecodePngFile(const std::string& path, Picture& picture);

// Some row holds the simulator's bars left to right, each at least minRun
// pixels wide: white, yellow, cyan, green, magenta, red, blue.
bool ShowsColourBars(const Picture& picture, int minRun = 40);
// How many pixels are within 16 of colour in each channel.
int PixelsOf(const Picture& picture, const Rgb& colour);
// The mean difference per channel between two pictures of one size (0 to
// 255), or 255 when their sizes differ.
double MeanDifference(const Picture& a, const Picture& b);

// What a picture shows: the simulator's bars or one of the installation's
// status pictures.
enum class Shown { Bars, Waiting, Busy, NoCamera, Other };

const char* ShownName(Shown shown);

// What picture shows, by the simulator's bars and the installation's status
// pictures (compared at the picture's size).
Shown Classify(const Picture& picture);

} // namespace cvl::test

#endif
