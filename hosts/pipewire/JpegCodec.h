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

// A picture in Y, Cb, Cr, three bytes a pixel, row after row.
struct YcbcrImage {
    int width = 0;
    int height = 0;
    // The JPEG's own size, where the picture was decoded scaled down.
    int sourceWidth = 0;
    int sourceHeight = 0;
    std::vector<uint8_t> pixels;
};

// A picture in 4:2:0 planes as the JPEG holds them: Y at full size, Cb and
// Cr at half the width and height (sides rounded up), each plane's stride
// its width rounded up to the decoder's block.
struct PlanarImage {
    int width = 0;
    int height = 0;
    int lumaStride = 0;
    int chromaStride = 0;
    int lumaRows = 0;
    int chromaRows = 0;
    std::vector<uint8_t> luma;
    std::vector<uint8_t> cb;
    std::vector<uint8_t> cr;
};

// Unsupported: the JPEG is not 4:2:0 (the caller decodes it another way).
enum class DecodeResult { Ok, NotJpeg, TooLarge, Damaged, Unsupported };

// Decodes bytes into image. TooLarge when the header claims a side above
// maxSide; NotJpeg when no header can be read; Damaged when libjpeg fails or
// warns (premature end, corrupt data). image is only valid for Ok. With a
// size to cover, a larger JPEG is decoded at the smallest of 1/8, 1/4 and
// 1/2 of its size that still covers it: a picture to be scaled down costs
// little more than one of the size shown.
DecodeResult DecodeJpeg(const uint8_t* bytes, size_t length, int maxSide, YcbcrImage& image,
                        int coverWidth = 0, int coverHeight = 0);

// Decodes a 4:2:0 JPEG into its planes without colour conversion or
// upsampling: the cheap way to the raw 4:2:0 and 4:2:2 formats.
DecodeResult DecodeJpegPlanar(const uint8_t* bytes, size_t length, int maxSide, PlanarImage& image);

// Encodes image as a baseline 4:2:0 JPEG into out; false when it cannot.
bool EncodeJpeg(const YcbcrImage& image, int quality, std::vector<uint8_t>& out);

// Sizes vector to length, and gives its memory back when it held much more:
// a picture of the past must not keep its memory once pictures are smaller.
void FitBuffer(std::vector<uint8_t>& vector, size_t length);

// A short name for a decode result, for the log.
const char* DecodeResultName(DecodeResult result);

} // namespace cvl::camera

#endif
