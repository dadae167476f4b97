// JPEG decoding and encoding with libjpeg-turbo, for the node's raw formats
// and its status pictures. Decoding is bounded: the header's size is checked
// before any pixel memory is taken, and a picture that ends early or is
// damaged counts as a failure rather than a half-grey picture.
#ifndef CVL_HOSTS_PIPEWIRE_JPEGCODEC_H
#define CVL_HOSTS_PIPEWIRE_JPEGCODEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cvl::camera {

// A picture in full-resolution Y, Cb, Cr, three bytes a pixel, row after row.
struct YcbcrImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

enum class DecodeResult { Ok, NotJpeg, TooLarge, Damaged };

// Decodes bytes into image. TooLarge when the header claims a side above
// maxSide; NotJpeg when no header can be read; Damaged when libjpeg fails or
// warns (premature end, corrupt data). image is only valid for Ok.
DecodeResult DecodeJpeg(const uint8_t* bytes, size_t length, int maxSide, YcbcrImage& image);

// Encodes image as a baseline 4:2:0 JPEG into out; false when it cannot.
bool EncodeJpeg(const YcbcrImage& image, int quality, std::vector<uint8_t>& out);

// A short name for a decode result, for the log.
const char* DecodeResultName(DecodeResult result);

} // namespace cvl::camera

#endif
