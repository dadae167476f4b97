// The formats the node offers and how a picture is laid out in each: MJPG
// (the camera's JPEG as it came) and the raw formats that browsers and video
// programs take without a decoder of their own.
#ifndef CVL_HOSTS_PIPEWIRE_PIXELLAYOUT_H
#define CVL_HOSTS_PIPEWIRE_PIXELLAYOUT_H

#include "JpegCodec.h"

#include <cstddef>
#include <cstdint>

namespace cvl::camera {

enum class PixelFormat { Mjpg, I420, Nv12, Yuy2 };

// The largest side of a picture the node shows: a frame beyond it (or whose
// header claims more) is shown as the status picture. It bounds what one
// frame may cost, decoded and in the consumers' buffers.
constexpr int kMaxLiveSide = 4096;

const char* PixelFormatName(PixelFormat format);

// Bytes of one raw frame of width x height (even sides), and the stride of
// its first plane; for MJPG the most a frame may take.
size_t FrameBytes(PixelFormat format, int width, int height);
int FirstStride(PixelFormat format, int width);

// Writes image into destination as a raw frame of format at width x height
// (FrameBytes long), scaled by nearest sample when the sizes differ. Chroma
// is averaged over each 2x2 (I420, NV12) or 2x1 (YUY2) block.
void WriteRaw(const YcbcrImage& image, PixelFormat format, int width, int height,
              uint8_t* destination);

// Writes a 4:2:0 image of exactly width x height (even sides) into
// destination as a raw frame of format; chroma rows are repeated for YUY2.
void WritePlanar(const PlanarImage& image, PixelFormat format, uint8_t* destination);

// image scaled to width x height by nearest sample.
YcbcrImage Scaled(const YcbcrImage& image, int width, int height);

} // namespace cvl::camera

#endif
