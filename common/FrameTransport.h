// The two ways frames travel from the service to a client, written and read
// by this one unit on both sides: frame messages sent to the client's frame
// port, and the ring of three sandbox frame files.
//
// Frame message payload: frame length N (signed 32-bit, little-endian), then
// the N frame bytes.
//
// Sandbox frame file: a 16-byte marker made from a new UUID, the frame number
// (signed 32-bit, little-endian), the N frame bytes, and the marker again;
// N + 36 bytes in all. The markers reveal a file caught while it is being
// rewritten, the frame number a file that has not been rewritten since.
#ifndef CVL_COMMON_FRAMETRANSPORT_H
#define CVL_COMMON_FRAMETRANSPORT_H

#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// --- Frame ports and frame messages -----------------------------------------

constexpr size_t kFrameLengthWordSize = 4;
constexpr CFTimeInterval kFrameSendTimeout = 1.0;
constexpr CFTimeInterval kFrameReceiveTimeout = 1.0;

// The name of the frame port of a client: service identifier, ".Frame.", id.
std::string FramePortName(const std::string& senderId);
// The same name as a CoreFoundation string (Mac Roman); the caller releases it.
CFStringRef CreateFramePortName(const std::string& senderId);

// The payload of the frame message that carries length bytes (length >= 0).
std::vector<unsigned char> BuildFrameMessage(const unsigned char* bytes, int32_t length);

// Finds the frame inside a received payload. A payload shorter than the
// length word, or whose length word is negative or larger than the bytes that
// follow it, is refused (false) and nothing beyond size bytes is touched. On
// success frame points into payload.
bool ParseFrameMessage(const unsigned char* payload, size_t size, const unsigned char** frame,
                       int32_t* length);
bool ParseFrameMessage(CFDataRef payload, const unsigned char** frame, int32_t* length);

// Sends one frame message to an open remote port: message id 0, 1 s to send,
// 1 s for the reply, which is released unread. True only when the send call
// reports success.
bool SendFrameMessage(CFMessagePortRef remotePort, const unsigned char* bytes, int32_t length);

// --- Sandbox frame files ------------------------------------------------------

constexpr int kSandboxSlotCount = 3;
constexpr size_t kSandboxMarkerSize = 16;
constexpr size_t kSandboxNumberOffset = 16;
constexpr size_t kSandboxFrameOffset = 20;
constexpr size_t kSandboxOverhead = 36;
constexpr long kSandboxMinimumFileSize = 100;
constexpr int kSandboxReadAttempts = 100;
constexpr unsigned kSandboxRetryMicroseconds = 10000;

// The installed path of slot 0, 1 or 2 ("sbFrames/sbFrame<slot>").
std::string SandboxFramePath(int slot);

// The file content for one frame.
std::vector<unsigned char> BuildSandboxRecord(const unsigned char marker[kSandboxMarkerSize],
                                              int32_t frameNumber, const unsigned char* bytes,
                                              int32_t length);

// Rewrites the slot's file in place (truncate, one write, close) with a new
// marker. True when the file could be opened; the write itself is not checked.
// False, and the file untouched, when no marker could be made.
bool WriteSandboxFrameFile(int slot, int32_t frameNumber, const unsigned char* bytes,
                           int32_t length);

// Checks a file's content: at least 100 bytes, equal markers, and a frame
// number greater than lastFrameNumber. On success returns the number and the
// frame's place inside data.
bool AcceptSandboxRecord(const unsigned char* data, size_t size, int32_t lastFrameNumber,
                         int32_t* frameNumber, const unsigned char** frame, int32_t* length);

enum class SandboxReadResult {
    Frame,    // a new frame was accepted and copied into frame
    Missing,  // the current slot's file could not be opened; state unchanged
    TimedOut, // 100 attempts found nothing acceptable; state reset
};

// One read by the reader's rules, with the state kept by the caller: an open
// handle per slot (null when not open), the last accepted frame number (-1 at
// first) and the slot to read next (0 at first). Up to 100 attempts 10 ms
// apart on the current slot; a file whose length cannot be determined, or
// that could not be read whole, counts as a failed attempt.
SandboxReadResult ReadSandboxFrame(FILE* files[kSandboxSlotCount], int32_t& lastFrameNumber,
                                   int32_t& slot, std::vector<unsigned char>& frame);

// Closes the handles and starts over at slot 0 with no frame accepted.
void ResetSandboxReading(FILE* files[kSandboxSlotCount], int32_t& lastFrameNumber, int32_t& slot);

#endif
