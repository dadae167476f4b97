// Helpers shared by the client library's tests: frames with a recognisable
// content, the stock status frames of the test's installation, and frame
// messages sent to a frame port.
#ifndef CVL_TESTS_CLIENT_CLIENTTESTSUPPORT_H
#define CVL_TESTS_CLIENT_CLIENTTESTSUPPORT_H

#include "EvfFrame.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cvl::test {

using Bytes = std::vector<unsigned char>;

// A frame of size bytes that carries number in its first four bytes and a
// pattern derived from it in the rest, so a torn or mixed frame shows.
Bytes NumberedFrame(int32_t number, size_t size = 200);
// The number of a frame made by NumberedFrame, or -1 when the bytes are not
// exactly such a frame.
int32_t FrameNumber(const Bytes& bytes);

Bytes BytesOf(const EvfFrame& frame);
Bytes BytesOf(const std::unique_ptr<EvfFrame>& frame);

// The stock status frames as installed for this test.
Bytes ErrorFrame();
Bytes BusyFrame();
Bytes DisconnectedFrame();

// Sends one frame message to the port of that name over a new connection;
// true when the send reported success. reply, when given, receives the reply.
bool SendFrameTo(const std::string& portName, const Bytes& payload, Bytes* reply = nullptr);

} // namespace cvl::test

#endif
