// The stamp that the camera simulator writes into every live-view JPEG: a
// comment (COM) segment with the frame's sequence number and the
// CLOCK_MONOTONIC time of its download.
#ifndef CVLHOST_FRAMESTAMP_H
#define CVLHOST_FRAMESTAMP_H

#include <cstddef>
#include <cstdint>

namespace cvl::host {

struct FrameStamp {
    uint64_t sequence = 0;
    int64_t monotonicNs = 0;
};

// Looks through the JPEG's header segments (up to the start of the scan) for a
// comment that holds "seq=<n>" and "t=<ns>" as blank-separated words. Never
// reads outside the given bytes; returns false for anything that is not such a
// JPEG, including truncated or malformed segments.
bool ReadFrameStamp(const uint8_t* bytes, size_t length, FrameStamp& stamp);

// The stamps' clock: CLOCK_MONOTONIC now, in nanoseconds.
int64_t MonotonicNowNs();

} // namespace cvl::host

#endif
