#include "cvlhost/RelayReader.h"

#include "EvfFrame.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cvl::host {

RelayReader::RelayReader(int fd) : m_fd(fd) {}

RelayReader::~RelayReader() {
    if (m_fd >= 0)
        close(m_fd);
}

RelayReader::Result RelayReader::Read(std::chrono::milliseconds timeout, RelayHeader& header,
                                      std::shared_ptr<EvfFrame>& frame) {
    pollfd polled = {m_fd, POLLIN, 0};
    const int ready = poll(&polled, 1, static_cast<int>(timeout.count()));
    if (ready < 0)
        return errno == EINTR ? Result::Nothing : Result::Closed;
    if (ready == 0)
        return Result::Nothing;
    // Whatever the socket holds now, at most one message.
    for (;;) {
        unsigned char* into;
        size_t wanted;
        if (!m_haveHeader) {
            into = m_headerBytes + m_have;
            wanted = RelayHeader::kSize - m_have;
        } else {
            into = m_body.data() + (m_have - RelayHeader::kSize);
            wanted = RelayHeader::kSize + m_header.length - m_have;
        }
        const ssize_t got = recv(m_fd, into, wanted, MSG_DONTWAIT);
        if (got == 0)
            return Result::Closed;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? Result::Nothing : Result::Closed;
        }
        m_have += static_cast<size_t>(got);
        if (!m_haveHeader && m_have == RelayHeader::kSize) {
            if (!m_header.Decode(m_headerBytes)) {
                std::fprintf(stderr, "corvalink host: the frame relay sent a bad message\n");
                return Result::Closed;
            }
            m_haveHeader = true;
            m_body.resize(m_header.length);
        } else if (m_haveHeader && m_have == RelayHeader::kSize + m_header.length) {
            header = m_header;
            frame.reset(new EvfFrame);
            frame->LoadFrame(m_body.data(), static_cast<int32_t>(m_header.length));
            m_have = 0;
            m_haveHeader = false;
            return Result::Message;
        }
    }
}

} // namespace cvl::host
