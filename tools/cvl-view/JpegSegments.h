// Walking the header segments of a JPEG, for readers that look at one of
// them (the simulator's stamp comment, the frame header) without decoding.
#ifndef CVL_TOOLS_CVLVIEW_JPEGSEGMENTS_H
#define CVL_TOOLS_CVLVIEW_JPEGSEGMENTS_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace cvl::view {

// Called with a segment's marker and the bytes after its length field;
// returns true to end the walk there.
using SegmentVisitor =
    std::function<bool(uint8_t marker, const uint8_t* payload, size_t payloadLength)>;

// Walks the segments from the start-of-image marker up to the start of the
// scan and hands each one with a length field to visit until it returns
// true. Never reads outside the given bytes. True when visit ended the walk;
// false when the scan, the end or anything that is not such a JPEG (including
// a truncated or malformed segment) came first.
bool VisitHeaderSegments(const uint8_t* bytes, size_t length, const SegmentVisitor& visit);

} // namespace cvl::view

#endif
