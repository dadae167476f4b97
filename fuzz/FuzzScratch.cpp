#include "FuzzScratch.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace cvl::fuzz {

namespace {

std::string g_scratch;

void RemoveScratch() {
    if (g_scratch.empty())
        return;
    const std::string command = "rm -rf '" + g_scratch + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "fuzz: could not remove %s\n", g_scratch.c_str());
}

} // namespace

void Fail(const char* reason) {
    std::fprintf(stderr, "fuzz: %s\n", reason);
    std::abort();
}

const std::string& Scratch() {
    if (!g_scratch.empty())
        return g_scratch;
    char folder[] = "/tmp/cvl-fuzz-XXXXXX";
    if (!mkdtemp(folder))
        Fail("cannot make a scratch folder");
    g_scratch = folder;
    const std::string root = g_scratch + "/root";
    const std::string run = g_scratch + "/run";
    if (mkdir(root.c_str(), 0700) != 0 || mkdir(run.c_str(), 0700) != 0)
        Fail("cannot make the root and runtime folders");
    setenv("CVL_ROOT", root.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    std::atexit(RemoveScratch);
    return g_scratch;
}

void WriteFileOrDie(const std::string& path, const unsigned char* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        Fail("cannot write a scratch file");
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written)
        Fail("cannot write a scratch file");
}

bool Converse(const std::string& path, const unsigned char* data, size_t size,
              std::string& received, int seconds) {
    received.clear();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    size_t sent = 0;
    bool shut = false;
    bool closed = false;
    char buffer[65536];
    while (!closed) {
        if (sent == size && !shut) {
            shutdown(fd, SHUT_WR);
            shut = true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        pollfd p{fd, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0)
                received.append(buffer, static_cast<size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                closed = true;
        }
        if (!shut && !closed && (p.revents & POLLOUT)) {
            const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                sent = size; // the server hung up early: stop sending, read what it said
        }
    }
    close(fd);
    return closed;
}

} // namespace cvl::fuzz
