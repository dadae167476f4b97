#include "StockFrames.h"

#include "EvfFrame.h"

#include <cstring>

namespace cvl::view {

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
    const Bytes* stock[] = {&m_error, &m_busy, &m_disconnected};
    const FrameKind kinds[] = {FrameKind::Error, FrameKind::Busy, FrameKind::Disconnected};
    const size_t size = frame.GetBuf() ? static_cast<size_t>(frame.GetBufSize()) : 0;
    for (int i = 0; i < 3; ++i) {
        if (stock[i]->size() == size &&
            (size == 0 || std::memcmp(stock[i]->data(), frame.GetBuf(), size) == 0))
            return kinds[i];
    }
    return FrameKind::Live;
}

} // namespace cvl::view
