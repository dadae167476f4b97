// What a test can tell from a live-view JPEG without looking at it: its
// size, its mean colour and its sharpness, enough to see a camera setting
// take effect (brighter, tinted, magnified, blurred, another size).
#ifndef CVL_TESTS_SUPPORT_FRAMEMEASURE_H
#define CVL_TESTS_SUPPORT_FRAMEMEASURE_H

#include <string>

namespace cvl::test {

struct FrameMeasure {
    int width = 0;
    int height = 0;
    // Mean of each channel, 0 to 255.
    double red = 0;
    double green = 0;
    double blue = 0;
    // Mean absolute difference of neighbouring pixels' brightness across the
    // rows: high for crisp edges, low when blurred.
    double sharpness = 0;

    double Brightness() const { return (red + green + blue) / 3; }
};

// False when the bytes are no JPEG that decodes.
bool MeasureJpeg(const std::string& jpeg, FrameMeasure& measure);

} // namespace cvl::test

#endif
