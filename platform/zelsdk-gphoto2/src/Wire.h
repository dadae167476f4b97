// The messages between the backend library and its helper process
// (zelsdk-gphoto2-helper), which alone loads libgphoto2. One message is a
// 32-bit body length and the body; a body is read field by field, and every
// read is checked against what is left, so a short, long or garbled message
// is refused, never read past. Both ends run on the same host: numbers go in
// its own byte order.
#ifndef ZELSDK_GPHOTO2_WIRE_H
#define ZELSDK_GPHOTO2_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelgp {

// What the library asks of the helper.
enum class Op : uint8_t {
    Detect = 1,     // -> count, then model and port of each camera
    Open = 2,       // model, port
    Close = 3,      // port, viewfinder off first (0/1)
    Viewfinder = 4, // port, on (0/1)
    Download = 5,   // port -> frame bytes
    Poll = 6,       // port -> count, then the settings that changed
    End = 7,        // port, politely (0/1): a session ends without asking
    GetSetting = 8, // port, property -> value
    SetSetting = 9, // port, property, value
    Describe = 10,  // port, property -> count, then the allowed values
    Command = 11,   // port, command, parameter
};

// Answer flags.
constexpr uint8_t kAnswerLost = 1;     // the session's connection broke in this call
constexpr uint8_t kAnswerRetiring = 2; // the helper ends after this answer

// The largest live-view frame taken: a live-view JPEG is a few MB at most.
constexpr size_t kMaxFrameBytes = 8u << 20;
constexpr size_t kMaxRequestBytes = 4096;
constexpr size_t kMaxAnswerBytes = kMaxFrameBytes + 64 * 1024;
constexpr size_t kMaxText = 1024;
constexpr uint32_t kMaxCameras = 64;
// The most allowed values of a setting (ZelPropertyDesc holds 128) and the
// most changed settings one poll reports.
constexpr uint32_t kMaxAllowed = 128;
constexpr uint32_t kMaxChanged = 16;

class WireWriter {
public:
    void U8(uint8_t value) { m_body.push_back(value); }
    void U32(uint32_t value);
    void Text(const std::string& text);
    void Bytes(const uint8_t* data, size_t size);
    // Another writer's fields after these.
    void Append(const WireWriter& other) {
        m_body.insert(m_body.end(), other.m_body.begin(), other.m_body.end());
    }
    // The whole message: length, then body.
    std::vector<uint8_t> Message() const;

private:
    std::vector<uint8_t> m_body;
};

class WireReader {
public:
    WireReader(const uint8_t* body, size_t size) : m_at(body), m_left(size) {}
    bool U8(uint8_t& value);
    bool U32(uint32_t& value);
    bool Text(std::string& text);
    // A byte field of at most limit bytes.
    bool Bytes(std::vector<uint8_t>& bytes, size_t limit);
    bool AtEnd() const { return m_left == 0; }

private:
    const uint8_t* m_at;
    size_t m_left;
};

// Blocking whole-message I/O on a socket, for the helper's side: false on
// end of stream, an error, or a body over limit.
bool ReadMessage(int fd, std::vector<uint8_t>& body, size_t limit);
bool WriteAll(int fd, const uint8_t* data, size_t size);

} // namespace zelgp

#endif
