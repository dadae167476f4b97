// What a frame from the client library shows: live video, or one of the
// installation's stock status pictures.
#ifndef CVLHOST_FRAMEKIND_H
#define CVLHOST_FRAMEKIND_H

namespace cvl::host {

// Error is the client library's picture for the first seconds without frames
// ("waiting for camera"), Busy the camera-in-use picture, Disconnected the
// no-camera picture.
enum class FrameKind { Live, Error, Busy, Disconnected };

// "live", "error", "busy" or "disconnected".
const char* KindName(FrameKind kind);

} // namespace cvl::host

#endif
