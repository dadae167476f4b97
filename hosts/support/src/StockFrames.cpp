#include "cvlhost/StockFrames.h"

#include "EvfFrame.h"

#include <cstring>

namespace cvl::host {

namespace {

std::vector<unsigned char> BytesOf(const EvfFrame& frame) {
    if (!frame.GetBuf())
        return {};
    return std::vector<unsigned char>(frame.GetBuf(), frame.GetBuf() + frame.GetBufSize());
}

} // namespace

StockFrames::StockFrames() {
    EvfFrame frame;
    frame.LoadErrorFrame();
    m_error = BytesOf(frame);
    frame.LoadBusyFrame();
    m_busy = BytesOf(frame);
    frame.LoadDisconnectedFrame();
    m_disconnected = BytesOf(frame);
}

FrameKind StockFrames::Kind(const EvfFrame& frame) const {
    const size_t size =
        frame.GetBuf() && frame.GetBufSize() > 0 ? static_cast<size_t>(frame.GetBufSize()) : 0;
    return Kind(frame.GetBuf(), size);
}

FrameKind StockFrames::Kind(const uint8_t* bytes, size_t length) const {
    const Bytes* stock[] = {&m_error, &m_busy, &m_disconnected};
    const FrameKind kinds[] = {FrameKind::Error, FrameKind::Busy, FrameKind::Disconnected};
    const size_t size = bytes ? length : 0;
    for (int i = 0; i < 3; ++i) {
        if (stock[i]->size() == size &&
            (size == 0 || std::memcmp(stock[i]->data(), bytes, size) == 0))
            return kinds[i];
    }
    return FrameKind::Live;
}

} // namespace cvl::host
