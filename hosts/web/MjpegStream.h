// One viewer's Motion-JPEG stream, each part the hub's newest picture at the
// moment the viewer is ready for it, in one of two wrappings: a
// multipart/x-mixed-replace body for browsers, or Matroska for media players,
// which show frames by their times (a multipart part has none, and players
// then assume a rate of their own). A viewer holds one picture at a time,
// however slowly it reads.
#ifndef CVL_HOSTS_WEB_MJPEGSTREAM_H
#define CVL_HOSTS_WEB_MJPEGSTREAM_H

#include "FrameHub.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace cvl::web {

class MjpegStream {
public:
    enum class Wrapping { Multipart, Matroska };

    static const char* const kBoundary;
    // The response's content type (with the boundary for multipart).
    static std::string ContentType(Wrapping wrapping = Wrapping::Multipart);

    // Joins the hub's viewers; leaves them when destroyed.
    explicit MjpegStream(FrameHub& hub, Wrapping wrapping = Wrapping::Multipart);
    ~MjpegStream();
    MjpegStream(const MjpegStream&) = delete;
    MjpegStream& operator=(const MjpegStream&) = delete;

    // Copies up to max bytes of the stream into buffer. Between parts it
    // waits for a newer picture; while none comes it sends the same picture
    // again every keepAlive, so that a browser keeps its picture and a viewer
    // that went away is noticed. Returns the bytes copied, or -1 once the hub
    // is closed.
    ssize_t Read(char* buffer, size_t max);

    // Pictures sent whole or in part so far.
    uint64_t PartsStarted() const { return m_partsStarted; }

    static constexpr std::chrono::milliseconds kKeepAlive{1000};
    // The nominal frame duration that a Matroska stream states when live
    // frames come at less than 6 a second at its start (30 a second).
    static constexpr int64_t kDefaultFrameNs = 33333333;

private:
    bool NextPart();
    // The Matroska framing before the picture: the stream's head before the
    // first, and the picture's time since the first.
    std::string MatroskaHead(bool repeat);

    FrameHub& m_hub;
    const Wrapping m_wrapping;
    const int64_t m_joinedNs;
    std::shared_ptr<const Picture> m_picture;
    std::string m_head;  // what precedes the picture's bytes
    size_t m_offset = 0; // into head, picture and the closing line break together
    uint64_t m_partsStarted = 0;
    int64_t m_originNs = 0; // the first part's time
    uint64_t m_lastMs = 0;  // the last part's timestamp
};

} // namespace cvl::web

#endif
