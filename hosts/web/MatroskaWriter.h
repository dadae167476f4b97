// Matroska framing for a live Motion-JPEG stream, for media players: unlike
// a multipart stream, every frame carries its time, so a player shows the
// frames at the pace they came instead of at a rate it guesses. The layout is
// the least that readers need: the EBML header, one Segment of unknown size
// (the stream has no end), its Info and one video track (V_MJPEG), then one
// Cluster per frame holding its timestamp and a SimpleBlock with the JPEG.
// Sizes are written as 8-byte numbers so that a frame's framing is built
// without measuring its parts twice; a frame costs some 40 bytes more and no
// copy of the JPEG.
#ifndef CVL_HOSTS_WEB_MATROSKAWRITER_H
#define CVL_HOSTS_WEB_MATROSKAWRITER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace cvl::web {

class MatroskaWriter {
public:
    static const char* const kContentType;

    // The stream's beginning, up to the first Cluster. The picture size and
    // the nominal frame duration (Matroska's DefaultDuration) tell a reader
    // the stream's parameters at once: without the duration, a reader such
    // as libavformat reads some 40 frames to guess the rate before it shows
    // the first, and a player that paces by the times stays that far behind.
    static std::string StreamHead(int width, int height, int64_t frameDurationNs);

    // What comes before a frame's JPEG bytes: a Cluster with the frame's time
    // in milliseconds since the stream's start, and the head of a key-frame
    // SimpleBlock of the track holding jpegSize bytes.
    static std::string FrameHead(uint64_t timestampMs, size_t jpegSize);
};

} // namespace cvl::web

#endif
