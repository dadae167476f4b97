// One message of the frame relay between the host processes of one user and
// installation: a fixed header, then the JPEG bytes of a frame as the owner of
// the service's stream shows it, with the frame's kind and the stream's state.
// The reader checks every field: a message that does not fit ends the
// connection, never the host.
#ifndef CVLHOST_RELAYMESSAGE_H
#define CVLHOST_RELAYMESSAGE_H

#include "cvlhost/FrameKind.h"
#include "cvlhost/StreamState.h"

#include <cstddef>
#include <cstdint>

namespace cvl::host {

struct RelayHeader {
    static constexpr size_t kSize = 16;
    // Far above any live-view JPEG; what a reader allocates at most.
    static constexpr uint32_t kMaxFrameBytes = 32u << 20;

    FrameKind kind = FrameKind::Error;
    StreamState state = StreamState::Waiting;
    uint32_t length = 0;

    void Encode(unsigned char (&out)[kSize]) const;
    // False when the bytes are no header of this version or the length is
    // out of bounds.
    bool Decode(const unsigned char (&in)[kSize]);
};

} // namespace cvl::host

#endif
