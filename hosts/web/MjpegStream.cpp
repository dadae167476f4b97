#include "MjpegStream.h"

#include "MatroskaWriter.h"
#include "cvlhost/FrameStamp.h"
#include "cvlhost/JpegHeader.h"

#include <algorithm>
#include <cstring>

namespace cvl::web {

namespace {

const char kPartEnd[] = "\r\n";
constexpr size_t kPartEndSize = sizeof kPartEnd - 1;

// A live rate below this is no rate a reader takes (libavformat ignores a
// stated rate of 5 a second or less and reads frames to guess one).
constexpr int kLeastStatedRate = 6;

} // namespace

const char* const MjpegStream::kBoundary = "cvlframe";
constexpr std::chrono::milliseconds MjpegStream::kKeepAlive;
constexpr int64_t MjpegStream::kDefaultFrameNs;

std::string MjpegStream::ContentType(Wrapping wrapping) {
    if (wrapping == Wrapping::Matroska)
        return MatroskaWriter::kContentType;
    return std::string("multipart/x-mixed-replace; boundary=") + kBoundary;
}

MjpegStream::MjpegStream(FrameHub& hub, Wrapping wrapping)
    : m_hub(hub), m_wrapping(wrapping), m_joinedNs(host::MonotonicNowNs()) {
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
    const bool repeat = next->serial == shown;
    m_picture = std::move(next);
    if (m_wrapping == Wrapping::Matroska)
        m_head = MatroskaHead(repeat);
    else
        m_head = std::string("--") + kBoundary +
                 "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                 std::to_string(m_picture->jpeg.size()) + "\r\n\r\n";
    m_offset = 0;
    ++m_partsStarted;
    return true;
}

std::string MjpegStream::MatroskaHead(bool repeat) {
    // A picture's time is when it reached the hub (or this viewer, if later);
    // a repeat's is now. Times only go forward, a millisecond at least.
    const int64_t now = host::MonotonicNowNs();
    const int64_t at = repeat ? now : std::max(m_picture->arrivedNs, m_joinedNs);
    const auto& jpeg = m_picture->jpeg;
    if (m_partsStarted == 0) {
        m_originNs = at;
        m_lastMs = 0;
        int width = 0;
        int height = 0;
        host::ReadJpegSize(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), width,
                           height);
        const int rate = m_hub.LiveRate(now);
        const int64_t frameNs = rate >= kLeastStatedRate ? 1000000000LL / rate : kDefaultFrameNs;
        return MatroskaWriter::StreamHead(width, height, frameNs) +
               MatroskaWriter::FrameHead(0, jpeg.size());
    }
    const uint64_t ms = at > m_originNs ? static_cast<uint64_t>(at - m_originNs) / 1000000 : 0;
    m_lastMs = std::max(ms, m_lastMs + 1);
    return MatroskaWriter::FrameHead(m_lastMs, jpeg.size());
}

ssize_t MjpegStream::Read(char* buffer, size_t max) {
    const size_t endSize = m_wrapping == Wrapping::Multipart ? kPartEndSize : 0;
    size_t total = m_head.size() + (m_picture ? m_picture->jpeg.size() : 0) + endSize;
    while (!m_picture || m_offset >= total) {
        if (m_hub.IsClosed())
            return -1;
        if (!NextPart())
            continue;
        total = m_head.size() + m_picture->jpeg.size() + endSize;
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
    take(kPartEnd, endSize, endStart);
    return static_cast<ssize_t>(copied);
}

} // namespace cvl::web
