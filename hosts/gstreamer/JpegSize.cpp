#include "JpegSize.h"

#include "JpegSegments.h"

namespace cvl::gst {

namespace {

// Frame headers: SOF0 to SOF15 but DHT (C4), JPG (C8) and DAC (CC).
bool IsFrameHeader(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

} // namespace

bool ReadJpegSize(const uint8_t* bytes, size_t length, int& width, int& height) {
    bool found = false;
    cvl::view::VisitHeaderSegments(bytes, length,
                                   [&](uint8_t marker, const uint8_t* header, size_t headerLength) {
                                       if (!IsFrameHeader(marker))
                                           return false;
                                       // Sample precision (1), height (2), width (2), ...: the
                                       // first frame header decides.
                                       if (headerLength >= 5) {
                                           const int h = (header[1] << 8) | header[2];
                                           const int w = (header[3] << 8) | header[4];
                                           if (w > 0 && h > 0) {
                                               width = w;
                                               height = h;
                                               found = true;
                                           }
                                       }
                                       return true;
                                   });
    return found;
}

} // namespace cvl::gst
