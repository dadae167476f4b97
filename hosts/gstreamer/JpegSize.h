// The picture size that a JPEG's frame header (SOFn) gives, read without
// decoding the image.
#ifndef CVL_HOSTS_GSTREAMER_JPEGSIZE_H
#define CVL_HOSTS_GSTREAMER_JPEGSIZE_H

#include <cstddef>
#include <cstdint>

namespace cvl::gst {

// Walks the header segments from the start-of-image marker to the first
// frame header and reads its width and height. Never reads outside the given
// bytes; false for anything that is not such a JPEG, for a truncated or
// malformed segment and for a zero width or height.
bool ReadJpegSize(const uint8_t* bytes, size_t length, int& width, int& height);

} // namespace cvl::gst

#endif
