#include "cvlhost/RelayServer.h"

#include "cvlhost/RelayMessage.h"
#include "cvlhost/RelayPlace.h"

#include "EvfFrame.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace cvl::host {

namespace {

using Clock = std::chrono::steady_clock;

// A reader that takes nothing of a message for this long is gone or hostile.
constexpr std::chrono::seconds kStalled{20};
// The newest message goes again after this long without a new one, so a
// reader knows the owner is there while the picture stands still.
constexpr std::chrono::milliseconds kKeepAlive{1000};

struct Reader {
    int fd = -1;
    // The message on its way: header and frame, and how much of both is sent.
    std::shared_ptr<const EvfFrame> frame;
    unsigned char header[RelayHeader::kSize] = {};
    size_t sent = 0;
    size_t total = 0;
    uint64_t sequence = 0; // of the last message begun
    Clock::time_point progress;
    Clock::time_point lastSent;
};

// Sends what the socket takes now; false when the reader is gone.
bool SendSome(Reader& reader, Clock::time_point now) {
    while (reader.sent < reader.total) {
        iovec parts[2];
        size_t count = 0;
        const size_t frameBytes = static_cast<size_t>(reader.frame->GetBufSize());
        if (reader.sent < RelayHeader::kSize) {
            parts[count].iov_base = reader.header + reader.sent;
            parts[count++].iov_len = RelayHeader::kSize - reader.sent;
            parts[count].iov_base = reader.frame->GetBuf();
            parts[count++].iov_len = frameBytes;
        } else {
            parts[count].iov_base = reader.frame->GetBuf() + (reader.sent - RelayHeader::kSize);
            parts[count++].iov_len = reader.total - reader.sent;
        }
        msghdr message;
        std::memset(&message, 0, sizeof message);
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t written = sendmsg(reader.fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        reader.sent += static_cast<size_t>(written);
        reader.progress = now;
    }
    if (reader.frame) {
        reader.frame.reset();
        reader.lastSent = now;
    }
    return true;
}

} // namespace

RelayServer::RelayServer(int listenFd) : m_listenFd(listenFd) {
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "corvalink host: cannot start the frame relay: %s\n",
                     std::strerror(errno));
        return;
    }
    m_threadStarted = pthread_create(&m_thread, nullptr, &RelayServer::Thread, this) == 0;
}

RelayServer::~RelayServer() {
    pthread_mutex_lock(&m_mutex);
    m_keepRunning = false;
    pthread_mutex_unlock(&m_mutex);
    Wake();
    if (m_threadStarted)
        pthread_join(m_thread, nullptr);
    for (int fd : m_wake) {
        if (fd >= 0)
            close(fd);
    }
}

void* RelayServer::Thread(void* server) {
    static_cast<RelayServer*>(server)->Run();
    return nullptr;
}

void RelayServer::Wake() {
    if (m_wake[1] < 0)
        return;
    const char byte = 1;
    // A full pipe wakes the thread already.
    [[maybe_unused]] const ssize_t written = write(m_wake[1], &byte, 1);
}

void RelayServer::Offer(std::shared_ptr<const EvfFrame> frame, FrameKind kind, StreamState state) {
    if (!frame || !frame->GetBuf() || frame->GetBufSize() <= 0 ||
        static_cast<uint64_t>(frame->GetBufSize()) > RelayHeader::kMaxFrameBytes)
        return;
    pthread_mutex_lock(&m_mutex);
    m_offered.frame = std::move(frame);
    m_offered.kind = kind;
    m_offered.state = state;
    ++m_offered.sequence;
    const bool anyone = m_readers > 0;
    pthread_mutex_unlock(&m_mutex);
    if (anyone)
        Wake();
}

int RelayServer::Readers() {
    pthread_mutex_lock(&m_mutex);
    const int readers = m_readers;
    pthread_mutex_unlock(&m_mutex);
    return readers;
}

void RelayServer::Run() {
    std::vector<Reader> readers;
    std::vector<pollfd> polled;
    for (;;) {
        polled.clear();
        polled.push_back({m_wake[0], POLLIN, 0});
        polled.push_back({m_listenFd, POLLIN, 0});
        for (const Reader& reader : readers) {
            const short events = reader.frame ? POLLIN | POLLOUT : POLLIN;
            polled.push_back({reader.fd, events, 0});
        }
        poll(polled.data(), polled.size(), static_cast<int>(kKeepAlive.count() / 4));
        const Clock::time_point now = Clock::now();

        pthread_mutex_lock(&m_mutex);
        const bool keepRunning = m_keepRunning;
        const Offered offered = m_offered;
        pthread_mutex_unlock(&m_mutex);
        if (!keepRunning)
            break;

        char scratch[256];
        if (polled[0].revents & POLLIN) {
            while (read(m_wake[0], scratch, sizeof scratch) > 0) {
            }
        }
        // Readers whose socket says anything: they send nothing, so it is
        // the end of the connection or a peer that does not keep to the
        // protocol. Both go.
        std::vector<Reader> kept;
        for (size_t i = 0; i < readers.size(); ++i) {
            Reader& reader = readers[i];
            bool keep = (polled[i + 2].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) == 0;
            if (keep && offered.frame && !reader.frame &&
                (reader.sequence < offered.sequence || now - reader.lastSent >= kKeepAlive)) {
                RelayHeader header;
                header.kind = offered.kind;
                header.state = offered.state;
                header.length = static_cast<uint32_t>(offered.frame->GetBufSize());
                header.Encode(reader.header);
                reader.frame = offered.frame;
                reader.sent = 0;
                reader.total = RelayHeader::kSize + header.length;
                reader.sequence = offered.sequence;
                reader.progress = now;
            }
            if (keep && reader.frame)
                keep = SendSome(reader, now) && now - reader.progress < kStalled;
            if (keep)
                kept.push_back(std::move(reader));
            else
                close(reader.fd);
        }
        readers.swap(kept);

        if (polled[1].revents & POLLIN) {
            for (;;) {
                const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0)
                    break;
                if (!RelayPlace::PeerIsThisUser(fd) ||
                    readers.size() >= static_cast<size_t>(kMaxReaders)) {
                    close(fd);
                    continue;
                }
                Reader reader;
                reader.fd = fd;
                reader.progress = now;
                readers.push_back(std::move(reader));
                Wake(); // the newest frame goes to it at once
            }
        }
        pthread_mutex_lock(&m_mutex);
        m_readers = static_cast<int>(readers.size());
        pthread_mutex_unlock(&m_mutex);
    }
    for (const Reader& reader : readers)
        close(reader.fd);
}

} // namespace cvl::host
