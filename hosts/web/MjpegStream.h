// One viewer's Motion-JPEG stream: a multipart/x-mixed-replace body of JPEG
// parts, each part the hub's newest picture at the moment the viewer is ready
// for it. A viewer holds one picture at a time, however slowly it reads.
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
    static const char* const kBoundary;
    // The response's content type, with the boundary.
    static std::string ContentType();

    // Joins the hub's viewers; leaves them when destroyed.
    explicit MjpegStream(FrameHub& hub);
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

private:
    bool NextPart();

    FrameHub& m_hub;
    std::shared_ptr<const Picture> m_picture;
    std::string m_head;  // the part's boundary line and headers
    size_t m_offset = 0; // into head, picture and the closing line break together
    uint64_t m_partsStarted = 0;
};

} // namespace cvl::web

#endif
