#include "ControlServer.h"

#include "ControlPath.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelsdk {

void ControlServer::Start(Handler handler) {
    std::string path, error;
    if (!zelsim::ControlSocketPath(path, error)) {
        std::fprintf(stderr, "zelsim: no control socket: %s\n", error.c_str());
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    // A socket that answers belongs to a live simulator: leave it alone. One
    // that does not is left over from a process that ended, and replaced.
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        close(probe);
        std::fprintf(stderr, "zelsim: another simulator serves this installation already\n");
        return;
    }
    if (probe >= 0)
        close(probe);
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0 || pipe2(m_wakePipe, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "zelsim: cannot open control socket %s: %s\n", path.c_str(),
                     std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return;
    }
    m_handler = std::move(handler);
    m_listenFd = fd;
    m_socketPath = path;
    m_thread = std::thread([this] { Run(); });
}

void ControlServer::Stop() {
    if (m_listenFd < 0)
        return;
    char byte = 1;
    if (write(m_wakePipe[1], &byte, 1) < 0) {
    }
    m_thread.join();
    close(m_listenFd);
    close(m_wakePipe[0]);
    close(m_wakePipe[1]);
    m_listenFd = -1;
    unlink(m_socketPath.c_str());
}

void ControlServer::Run() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        int client = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        // A client that stalls cannot hold the simulator's control for long.
        timeval timeout{2, 0};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        std::string line;
        char buffer[512];
        ssize_t n;
        while (line.find('\n') == std::string::npos && line.size() < 4096 &&
               (n = read(client, buffer, sizeof buffer)) > 0)
            line.append(buffer, static_cast<size_t>(n));
        line = line.substr(0, line.find('\n'));
        std::string reply = m_handler(line);
        size_t off = 0;
        while (off < reply.size()) {
            ssize_t w = send(client, reply.data() + off, reply.size() - off, MSG_NOSIGNAL);
            if (w <= 0)
                break;
            off += static_cast<size_t>(w);
        }
        close(client);
    }
}

} // namespace zelsdk
