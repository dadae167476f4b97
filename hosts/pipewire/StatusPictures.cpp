#include "StatusPictures.h"

#include "EvfFrame.h"

namespace cvl::camera {

namespace {

constexpr int kMaxSide = 8192;
constexpr int kQuality = 85;

} // namespace

bool StatusPictures::Decode(cvl::host::FrameKind kind, YcbcrImage& image) {
    EvfFrame frame;
    if (kind == cvl::host::FrameKind::Busy)
        frame.LoadBusyFrame();
    else if (kind == cvl::host::FrameKind::Disconnected)
        frame.LoadDisconnectedFrame();
    else
        frame.LoadErrorFrame();
    if (!frame.GetBuf() || frame.GetBufSize() <= 0)
        return false;
    return DecodeJpeg(frame.GetBuf(), static_cast<size_t>(frame.GetBufSize()), kMaxSide, image) ==
           DecodeResult::Ok;
}

const std::vector<uint8_t>& StatusPictures::Get(cvl::host::FrameKind kind, PixelFormat format,
                                                int width, int height) {
    const Key key(static_cast<int>(kind), static_cast<int>(format), width, height);
    auto found = m_made.find(key);
    if (found != m_made.end())
        return found->second;
    // Only the negotiated format and size are kept: pictures of a size
    // gone by give their memory back.
    if (!m_made.empty()) {
        const Key& kept = m_made.begin()->first;
        if (std::get<1>(kept) != std::get<1>(key) || std::get<2>(kept) != width ||
            std::get<3>(kept) != height)
            m_made.clear();
    }

    std::vector<uint8_t>& made = m_made[key];
    YcbcrImage image;
    if (!Decode(kind, image))
        return made;
    if (format == PixelFormat::Mjpg) {
        if (!EncodeJpeg(Scaled(image, width, height), kQuality, made))
            made.clear();
    } else {
        made.resize(FrameBytes(format, width, height));
        WriteRaw(image, format, width, height, made.data());
    }
    return made;
}

} // namespace cvl::camera
