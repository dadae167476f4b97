#include "FrameMeasure.h"

#include "imaging/JpegDecoder.h"

#include <cstdlib>
#include <vector>

namespace cvl::test {

bool MeasureJpeg(const std::string& jpeg, FrameMeasure& measure) {
    cvl::imaging::Canvas canvas(1, 1, cvl::imaging::Color{0, 0, 0});
    if (!cvl::imaging::DecodeJpeg(std::vector<uint8_t>(jpeg.begin(), jpeg.end()), canvas))
        return false;
    const std::vector<uint8_t>& pixels = canvas.Pixels();
    double sums[3] = {0, 0, 0};
    double edges = 0;
    for (int y = 0; y < canvas.Height(); ++y) {
        int previous = -1;
        for (int x = 0; x < canvas.Width(); ++x) {
            const uint8_t* p = &pixels[(static_cast<size_t>(y) * canvas.Width() + x) * 3];
            sums[0] += p[0];
            sums[1] += p[1];
            sums[2] += p[2];
            const int luma = (p[0] * 3 + p[1] * 6 + p[2]) / 10;
            if (previous >= 0)
                edges += std::abs(luma - previous);
            previous = luma;
        }
    }
    measure.width = canvas.Width();
    measure.height = canvas.Height();
    const double count = static_cast<double>(measure.width) * measure.height;
    measure.red = sums[0] / count;
    measure.green = sums[1] / count;
    measure.blue = sums[2] / count;
    measure.sharpness = edges / count;
    return true;
}

} // namespace cvl::test
