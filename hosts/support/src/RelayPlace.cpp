#include "cvlhost/RelayPlace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cvl::host {

namespace {

// The installation the process belongs to, as the client library finds it.
std::string InstallationRoot() {
    const char* root = std::getenv("CVL_ROOT");
    if (!root || !*root)
        return "/";
    char resolved[PATH_MAX];
    return realpath(root, resolved) ? std::string(resolved) : std::string(root);
}

std::string Hash(const std::string& text) {
    uint64_t hash = 14695981039346656037ULL; // 64-bit FNV-1a
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The folder exists (made now or before), is a real folder, the user's own,
// and closed to everybody else.
bool SafeFolder(const std::string& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info;
    if (lstat(folder.c_str(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == getuid() && (info.st_mode & 077) == 0;
}

} // namespace

RelayPlace::RelayPlace() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string base = runtime && *runtime ? runtime : "/tmp";
    m_folder =
        base + "/corvalink-relay-" + std::to_string(getuid()) + "-" + Hash(InstallationRoot());
    m_socketPath = m_folder + "/socket";
    m_lockPath = m_folder + "/lock";
    sockaddr_un address;
    m_usable = FillAddress(m_socketPath, address) && SafeFolder(m_folder);
}

RelayPlace::~RelayPlace() {
    GiveUp();
}

bool RelayPlace::Enabled() {
    const char* relay = std::getenv("CVL_HOST_RELAY");
    return !relay || std::strcmp(relay, "0") != 0;
}

bool RelayPlace::TakeOwnership() {
    if (!m_usable || m_lockFd >= 0)
        return m_lockFd >= 0 && m_listenFd >= 0;
    const int lock = open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0)
        return false;
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        close(lock);
        return false;
    }
    sockaddr_un address;
    FillAddress(m_socketPath, address);
    // A socket left by an owner that died; nobody serves it while we hold the lock.
    unlink(m_socketPath.c_str());
    const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listening < 0 ||
        bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        chmod(m_socketPath.c_str(), 0600) != 0 || listen(listening, 16) != 0) {
        std::fprintf(stderr, "corvalink host: cannot serve the frame relay at %s: %s\n",
                     m_socketPath.c_str(), std::strerror(errno));
        if (listening >= 0)
            close(listening);
        unlink(m_socketPath.c_str());
        close(lock);
        return false;
    }
    m_lockFd = lock;
    m_listenFd = listening;
    return true;
}

void RelayPlace::GiveUp() {
    if (m_listenFd >= 0) {
        unlink(m_socketPath.c_str());
        close(m_listenFd);
        m_listenFd = -1;
    }
    if (m_lockFd >= 0) {
        close(m_lockFd); // lets the lock go
        m_lockFd = -1;
    }
}

int RelayPlace::Connect() const {
    sockaddr_un address;
    if (!m_usable || !FillAddress(m_socketPath, address))
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        !PeerIsThisUser(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool RelayPlace::PeerIsThisUser(int fd) {
    ucred peer;
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer)
        return false;
    return peer.uid == getuid();
}

} // namespace cvl::host
