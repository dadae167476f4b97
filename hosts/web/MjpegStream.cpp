#include "MjpegStream.h"

#include <algorithm>
#include <cstring>

namespace cvl::web {

namespace {

const char kPartEnd[] = "\r\n";
constexpr size_t kPartEndSize = sizeof kPartEnd - 1;

} // namespace

const char* const MjpegStream::kBoundary = "cvlframe";
constexpr std::chrono::milliseconds MjpegStream::kKeepAlive;

std::string MjpegStream::ContentType() {
    return std::string("multipart/x-mixed-replace; boundary=") + kBoundary;
}

MjpegStream::MjpegStream(FrameHub& hub) : m_hub(hub) {
    m_hub.ViewerJoined();
}

MjpegStream::~MjpegStream() {
    m_hub.ViewerLeft();
}

bool MjpegStream::NextPart() {
    const uint64_t shown = m_picture ? m_picture->serial : 0;
    std::shared_ptr<const Picture> next = m_hub.WaitNewer(shown, kKeepAlive);
    if (!next)
        return false; // closed, or no picture yet
    m_picture = std::move(next);
    m_head = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
             std::to_string(m_picture->jpeg.size()) + "\r\n\r\n";
    m_offset = 0;
    ++m_partsStarted;
    return true;
}

ssize_t MjpegStream::Read(char* buffer, size_t max) {
    size_t total = m_head.size() + (m_picture ? m_picture->jpeg.size() : 0) + kPartEndSize;
    while (!m_picture || m_offset >= total) {
        if (m_hub.IsClosed())
            return -1;
        if (!NextPart())
            continue;
        total = m_head.size() + m_picture->jpeg.size() + kPartEndSize;
    }
    size_t copied = 0;
    const auto take = [&](const char* bytes, size_t size, size_t start) {
        // Copies the piece [start, start + size) of the part where the offset is in it.
        if (m_offset < start || m_offset >= start + size || copied >= max)
            return;
        const size_t count = std::min(max - copied, start + size - m_offset);
        std::memcpy(buffer + copied, bytes + (m_offset - start), count);
        copied += count;
        m_offset += count;
    };
    const size_t jpegStart = m_head.size();
    const size_t endStart = jpegStart + m_picture->jpeg.size();
    take(m_head.data(), m_head.size(), 0);
    take(m_picture->jpeg.data(), m_picture->jpeg.size(), jpegStart);
    take(kPartEnd, kPartEndSize, endStart);
    return static_cast<ssize_t>(copied);
}

} // namespace cvl::web
