// Reading a JPEG's header segments without decoding the image: the picture
// size and chroma sampling from the frame header (SOFn), and a walk over the
// segments for readers of another one (the simulator's stamp comment). Every
// reader stays within the bytes it is given and stops at the start of the
// scan, so a huge or hostile frame costs no more than its header.
#ifndef CVLHOST_JPEGHEADER_H
#define CVLHOST_JPEGHEADER_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace cvl::host {

// Called with a segment's marker and the bytes after its length field;
// returns true to end the walk there.
using SegmentVisitor =
    std::function<bool(uint8_t marker, const uint8_t* payload, size_t payloadLength)>;

// Walks the segments from the start-of-image marker up to the start of the
// scan and hands each one with a length field to visit until it returns
// true. True when visit ended the walk; false when the scan, the end or
// anything that is not such a JPEG (including a truncated or malformed
// segment) came first.
bool VisitHeaderSegments(const uint8_t* bytes, size_t length, const SegmentVisitor& visit);

// Chroma sampling of a colour JPEG, by the luma component's factors against
// the chroma components' (all chroma components sampled alike).
enum class JpegSampling { Unknown, Grey, S444, S422, S420, S440, S411 };

// "unknown", "grey", "4:4:4", "4:2:2", "4:2:0", "4:4:0", "4:1:1".
const char* SamplingName(JpegSampling sampling);

struct JpegInfo {
    int width = 0;
    int height = 0;
    int components = 0; // 1 (grey) or 3 (colour); others are read as they are
    JpegSampling sampling = JpegSampling::Unknown;
    bool progressive = false;
};

// The first frame header's size, components and sampling. False for
// anything that is not such a JPEG, for a truncated or malformed header and
// for a zero width or height.
bool ReadJpegInfo(const uint8_t* bytes, size_t length, JpegInfo& info);

// The width and height alone, as ReadJpegInfo reads them.
bool ReadJpegSize(const uint8_t* bytes, size_t length, int& width, int& height);

// Whether the end-of-image marker (FF D9) stands among the last bytes, where
// a whole JPEG has it (some cameras pad their frames after it). A frame cut
// short in transfer has none there; scan data never holds FF D9. Reads at
// most the last kEndOfImageReach bytes.
constexpr size_t kEndOfImageReach = 4096;
bool EndsWithEndOfImage(const uint8_t* bytes, size_t length);

} // namespace cvl::host

#endif
