// The installation's stock status frames, read once, to tell a status frame
// from a live one: a frame is a status frame when it equals one of them byte
// for byte.
#ifndef CVLHOST_STOCKFRAMES_H
#define CVLHOST_STOCKFRAMES_H

#include "cvlhost/FrameKind.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class EvfFrame;

namespace cvl::host {

class StockFrames {
public:
    // Reads "error.jpg", "errorBusy.jpg" and "errorNoDevice.jpg" of the
    // installation (under CVL_ROOT), through the client library's frame type.
    StockFrames();

    // Error, Busy or Disconnected for a stock frame (compared in that order),
    // otherwise Live.
    FrameKind Kind(const EvfFrame& frame) const;
    FrameKind Kind(const uint8_t* bytes, size_t length) const;

    // Whether all three could be read: without them there is no
    // installation to show a picture from.
    bool Complete() const { return !m_error.empty() && !m_busy.empty() && !m_disconnected.empty(); }

private:
    using Bytes = std::vector<unsigned char>;
    Bytes m_error;
    Bytes m_busy;
    Bytes m_disconnected;
};

} // namespace cvl::host

#endif
