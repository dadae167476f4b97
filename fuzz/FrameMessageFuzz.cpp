// A frame message's payload as a client's frame port receives it: the length
// word and the frame bytes, from a service or from anybody who can send to
// the port.
#include "FrameTransport.h"
#include "FuzzScratch.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly size bytes, so that any read past the end is caught.
    std::vector<unsigned char> payload(data, data + size);
    const unsigned char* frame = nullptr;
    int32_t length = -1;
    const bool accepted = ParseFrameMessage(payload.data(), payload.size(), &frame, &length);

    CFDataRef wrapped = CFDataCreate(nullptr, payload.data(), static_cast<CFIndex>(size));
    const unsigned char* wrappedFrame = nullptr;
    int32_t wrappedLength = -1;
    const bool wrappedAccepted = ParseFrameMessage(wrapped, &wrappedFrame, &wrappedLength);
    const bool agree =
        wrappedAccepted == accepted &&
        (!accepted || (wrappedLength == length &&
                       wrappedFrame - CFDataGetBytePtr(wrapped) == frame - payload.data()));
    CFRelease(wrapped);
    if (!agree)
        cvl::fuzz::Fail("the byte and data forms of the parser disagree");
    if (!accepted)
        return 0;

    if (size < kFrameLengthWordSize || frame != payload.data() + kFrameLengthWordSize ||
        length < 0 || static_cast<size_t>(length) > size - kFrameLengthWordSize)
        cvl::fuzz::Fail("an accepted frame lies outside its payload");
    // Built again from the frame, the message is the accepted prefix.
    const std::vector<unsigned char> rebuilt = BuildFrameMessage(frame, length);
    if (rebuilt.size() != kFrameLengthWordSize + static_cast<size_t>(length) ||
        std::memcmp(rebuilt.data(), payload.data(), rebuilt.size()) != 0)
        cvl::fuzz::Fail("the accepted frame does not rebuild its message");
    return 0;
}
