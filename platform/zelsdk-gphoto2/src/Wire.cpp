#include "Wire.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace zelgp {

void WireWriter::U32(uint32_t value) {
    const size_t at = m_body.size();
    m_body.resize(at + sizeof value);
    std::memcpy(m_body.data() + at, &value, sizeof value);
}

void WireWriter::Text(const std::string& text) {
    Bytes(reinterpret_cast<const uint8_t*>(text.data()),
          text.size() < kMaxText ? text.size() : kMaxText);
}

void WireWriter::Bytes(const uint8_t* data, size_t size) {
    U32(static_cast<uint32_t>(size));
    m_body.insert(m_body.end(), data, data + size);
}

std::vector<uint8_t> WireWriter::Message() const {
    std::vector<uint8_t> message(sizeof(uint32_t) + m_body.size());
    const uint32_t length = static_cast<uint32_t>(m_body.size());
    std::memcpy(message.data(), &length, sizeof length);
    if (!m_body.empty())
        std::memcpy(message.data() + sizeof length, m_body.data(), m_body.size());
    return message;
}

bool WireReader::U8(uint8_t& value) {
    if (m_left < 1)
        return false;
    value = *m_at++;
    --m_left;
    return true;
}

bool WireReader::U32(uint32_t& value) {
    if (m_left < sizeof value)
        return false;
    std::memcpy(&value, m_at, sizeof value);
    m_at += sizeof value;
    m_left -= sizeof value;
    return true;
}

bool WireReader::Text(std::string& text) {
    uint32_t size = 0;
    if (!U32(size) || size > kMaxText || size > m_left)
        return false;
    text.assign(reinterpret_cast<const char*>(m_at), size);
    m_at += size;
    m_left -= size;
    return true;
}

bool WireReader::Bytes(std::vector<uint8_t>& bytes, size_t limit) {
    uint32_t size = 0;
    if (!U32(size) || size > limit || size > m_left)
        return false;
    bytes.assign(m_at, m_at + size);
    m_at += size;
    m_left -= size;
    return true;
}

namespace {

bool ReadAll(int fd, uint8_t* to, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, to + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool ReadMessage(int fd, std::vector<uint8_t>& body, size_t limit) {
    uint32_t length = 0;
    if (!ReadAll(fd, reinterpret_cast<uint8_t*>(&length), sizeof length) || length > limit)
        return false;
    body.resize(length);
    return length == 0 || ReadAll(fd, body.data(), length);
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace zelgp
