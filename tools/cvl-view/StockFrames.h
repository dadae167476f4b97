// The installation's stock status frames, read once, to tell a status frame
// from a live one: a frame is a status frame when it equals one of them byte
// for byte.
#ifndef CVL_TOOLS_CVLVIEW_STOCKFRAMES_H
#define CVL_TOOLS_CVLVIEW_STOCKFRAMES_H

#include "ViewStats.h"

#include <vector>

class EvfFrame;

namespace cvl::view {

class StockFrames {
public:
    // Reads "error.jpg", "errorBusy.jpg" and "errorNoDevice.jpg" of the
    // installation (under CVL_ROOT).
    StockFrames();

    // Error, Busy or Disconnected for a stock frame (compared in that order),
    // otherwise Live.
    FrameKind Kind(const EvfFrame& frame) const;

private:
    using Bytes = std::vector<unsigned char>;
    Bytes m_error;
    Bytes m_busy;
    Bytes m_disconnected;
};

} // namespace cvl::view

#endif
