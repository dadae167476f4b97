// Message ports over Unix-domain stream sockets in the user's port folder.
// The wire format and the time-out rules are in docs/message-ports.md.
#include "CFInternal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr UInt8 kVersion = 1;
constexpr UInt8 kKindRequestReply = 1;
constexpr UInt8 kKindRequestOneWay = 2;
constexpr UInt8 kKindAck = 3;
constexpr UInt8 kKindReply = 4;
constexpr UInt8 kFlagNoData = 1;
constexpr UInt8 kFlagReplyTooLarge = 2;
constexpr size_t kHeaderSize = 16;
constexpr uint32_t kMaxMessage = kCFMessagePortMaximumMessageSize;
// A payload buffer starts at most this large and grows to the announced
// length only once that much has arrived.
constexpr size_t kInitialPayload = 1 << 20;
constexpr size_t kMaxConnections = 1024;
// How long a server waits for a client to take an acknowledgement or reply.
constexpr int kServerWriteMs = 1000;
// How long a message may take to arrive once its first byte came.
constexpr int kMessageReadMs = 5000;

using Clock = std::chrono::steady_clock;

struct Header {
    UInt8 kind = 0;
    UInt8 flags = 0;
    SInt32 msgid = 0;
    uint32_t length = 0;
};

void EncodeHeader(UInt8* out, const Header& h) {
    out[0] = 'C', out[1] = 'F', out[2] = 'M', out[3] = 'P';
    out[4] = kVersion, out[5] = h.kind, out[6] = h.flags, out[7] = 0;
    const uint32_t id = uint32_t(h.msgid);
    for (int i = 0; i < 4; ++i) {
        out[8 + i] = UInt8(id >> (8 * i));
        out[12 + i] = UInt8(h.length >> (8 * i));
    }
}

// Checks everything a header can get wrong; false closes the connection.
bool DecodeHeader(const UInt8* in, Header& h) {
    if (memcmp(in, "CFMP", 4) != 0 || in[4] != kVersion || in[7] != 0)
        return false;
    h.kind = in[5];
    h.flags = in[6];
    uint32_t id = 0, length = 0;
    for (int i = 0; i < 4; ++i) {
        id |= uint32_t(in[8 + i]) << (8 * i);
        length |= uint32_t(in[12 + i]) << (8 * i);
    }
    h.msgid = SInt32(id);
    h.length = length;
    if (h.kind < kKindRequestReply || h.kind > kKindReply || (h.flags & ~3u) != 0)
        return false;
    if (length > kMaxMessage || ((h.flags & kFlagNoData) && length != 0))
        return false;
    return true;
}

void Log(const char* what, const std::string& name) {
    fprintf(stderr, "CFMessagePort %s: %s\n", name.c_str(), what);
}

// Says once per process, on stderr, why the port folder was refused.
void FolderRefused(const std::string& folder, const char* why) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        fprintf(stderr, "CFMessagePort: port folder %s %s; no message port can be made\n",
                folder.c_str(), why);
}

// A folder of this user's own that no other user can write: the home
// folder ($HOME, or the user database's entry), or empty.
std::string OwnHome() {
    std::string home;
    if (const char* value = getenv("HOME"))
        home = value;
    if (home.empty()) {
        passwd entry{}, *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
            found->pw_dir)
            home = found->pw_dir;
    }
    struct stat st;
    if (home.empty() || home[0] != '/' || stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != geteuid() || (st.st_mode & 022) != 0)
        return std::string();
    return home;
}

// The per-user port folder: $XDG_RUNTIME_DIR/CFMessagePort; without it
// ~/.CFMessagePort, which no other user can create first; and only for a
// user without a usable home /tmp/CFMessagePort-<uid>. Created 0700, refused
// (and said so on stderr) when another user owns it.
bool PortFolder(std::string& folder) {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        folder = std::string(runtime) + "/CFMessagePort";
    } else {
        const std::string home = OwnHome();
        folder = home.empty() ? "/tmp/CFMessagePort-" + std::to_string(geteuid())
                              : home + "/.CFMessagePort";
    }
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        FolderRefused(folder, "is not a folder");
        return false;
    }
    if (st.st_uid != geteuid()) {
        FolderRefused(folder, ("belongs to another user (uid " + std::to_string(st.st_uid) +
                               "), who may have made it to catch this user's ports")
                                  .c_str());
        return false;
    }
    if ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0)
        return false;
    return true;
}

// The socket address of a port name: bytes outside [A-Za-z0-9._-] become
// %XX so that any name is one file name. False when it does not fit.
bool PortAddress(CFStringRef name, sockaddr_un& address, std::string& path) {
    if (!name || name->utf8.empty())
        return false;
    std::string folder;
    if (!PortFolder(folder))
        return false;
    std::string file;
    for (unsigned char c : name->utf8) {
        if (isalnum(c) || c == '.' || c == '_' || c == '-') {
            file += char(c);
        } else {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", c);
            file += escaped;
        }
    }
    if (file == "." || file == "..")
        file = "%2E" + file.substr(1);
    path = folder + "/" + file;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof address.sun_path)
        return false;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool SameUser(int fd, pid_t* pid = nullptr) {
    ucred cred{};
    socklen_t size = sizeof cred;
    const bool same =
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 && cred.uid == geteuid();
    if (pid)
        *pid = same && cred.pid > 0 ? cred.pid : -1;
    return same;
}

// The local port whose callback this thread runs, and the process that sent
// the message it handles (_CFMessagePortGetCalloutSender).
thread_local CFMessagePortRef t_calloutPort = nullptr;
thread_local pid_t t_calloutSender = -1;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<long long>(0, std::min<long long>(left.count() + 1, 1 << 30)));
}

Clock::time_point Deadline(CFTimeInterval seconds) {
    if (!(seconds > 0))
        seconds = 0;
    seconds = std::min(seconds, 1e9);
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

enum class Io { Done, Timeout, Closed, Error };

// Writes every byte of iov before deadline on a non-blocking socket.
Io WriteAll(int fd, iovec* iov, int count, Clock::time_point deadline) {
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EPIPE || errno == ECONNRESET)
                return Io::Closed;
            if (errno != EAGAIN)
                return Io::Error;
            pollfd p{fd, POLLOUT, 0};
            int timeout = MsLeft(deadline);
            if (timeout == 0 || poll(&p, 1, timeout) == 0)
                return Io::Timeout;
            if (p.revents & (POLLHUP | POLLERR))
                return Io::Closed;
            continue;
        }
        size_t done = size_t(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov, --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return Io::Done;
}

// Reads exactly size bytes before deadline.
Io ReadAll(int fd, UInt8* out, size_t size, Clock::time_point deadline) {
    while (size > 0) {
        ssize_t n = read(fd, out, size);
        if (n > 0) {
            out += n, size -= size_t(n);
            continue;
        }
        if (n == 0)
            return Io::Closed;
        if (errno == EINTR)
            continue;
        if (errno == ECONNRESET)
            return Io::Closed;
        if (errno != EAGAIN)
            return Io::Error;
        pollfd p{fd, POLLIN, 0};
        int timeout = MsLeft(deadline);
        if (timeout == 0 || poll(&p, 1, timeout) == 0)
            return Io::Timeout;
    }
    return Io::Done;
}

// Writes what the socket takes of c's pending output without waiting.
// False when the connection has to go.
bool Flush(int fd, std::vector<UInt8>& out, size_t& sent) {
    while (sent < out.size()) {
        ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
    out.clear();
    sent = 0;
    return true;
}

// One client connection of a local port, read and written without blocking:
// what the client has not taken yet of an acknowledgement or reply waits in
// out, and no further message is read until it has gone.
struct Connection {
    int fd = -1;
    UInt8 header[kHeaderSize];
    size_t headerGot = 0;
    Header parsed;
    __CFData* payload = nullptr;
    size_t payloadGot = 0;
    size_t capacity = 0;
    pid_t peer = -1;     // the connecting process (SO_PEERCRED), -1 when unknown
    bool busy = false;   // its message is in the callback
    bool closed = false; // to be removed
    int pollIndex = -1;
    Clock::time_point messageStart; // first byte of the unfinished message
    Clock::time_point lastActivity; // accepted, or last message handled
    std::vector<UInt8> out;
    size_t outSent = 0;
    Clock::time_point outDeadline;
    bool Unfinished() const { return headerGot > 0; }
    bool Writing() const { return outSent < out.size(); }
    ~Connection() {
        if (payload)
            CFRelease(payload);
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

struct __CFMessagePort : CFObject {
    __CFMessagePort() : CFObject(kTypeMessagePort) {}
    ~__CFMessagePort() override;
    bool remote = false;
    CFStringRef name = nullptr;
    std::string path;
    std::mutex mutex; // guards everything below
    bool valid = true;
    CFMessagePortInvalidationCallBack invalidation = nullptr;
    CFMessagePortContext context{};
    // Local ports.
    CFMessagePortCallBack callout = nullptr;
    int listenFd = -1;
    ino_t inode = 0;
    std::vector<Connection*> connections;
    CFRunLoopSourceRef source = nullptr; // not retained: the source retains the port
    bool serving = false;
    // When a flood's lines were last written, so a flood writes few.
    Clock::time_point lastCapLog;
    Clock::time_point lastLateLog;
    // Remote ports: one connection, one request at a time.
    std::mutex sendMutex;
    int fd = -1;
};

static void CloseLocal(CFMessagePortRef port) {
    if (port->listenFd >= 0) {
        struct stat st;
        // Unlink the name only while it is still this port's socket.
        if (stat(port->path.c_str(), &st) == 0 && st.st_ino == port->inode)
            unlink(port->path.c_str());
        close(port->listenFd);
        port->listenFd = -1;
    }
    for (auto it = port->connections.begin(); it != port->connections.end();) {
        if ((*it)->busy) {
            (*it)->closed = true;
            ++it;
        } else {
            delete *it;
            it = port->connections.erase(it);
        }
    }
}

// Marks the port invalid once; runs the invalidation callback outside the lock.
static void InvalidatePort(CFMessagePortRef port) {
    CFMessagePortInvalidationCallBack callback;
    CFRunLoopSourceRef source = nullptr;
    {
        std::lock_guard<std::mutex> lock(port->mutex);
        if (!port->valid)
            return;
        port->valid = false;
        callback = port->invalidation;
        if (port->remote) {
            // The connection itself closes under sendMutex or in the destructor.
        } else {
            CloseLocal(port);
            if (port->source)
                source = Retained(port->source);
        }
    }
    if (source) {
        CFRunLoopSourceInvalidate(source);
        CFRelease(source);
    }
    if (callback)
        callback(port, port->context.info);
}

__CFMessagePort::~__CFMessagePort() {
    if (valid) {
        valid = false;
        if (!remote)
            CloseLocal(this);
    }
    for (Connection* c : connections)
        delete c;
    if (fd >= 0)
        close(fd);
    if (context.release && context.info)
        context.release(context.info);
    CFRelease(name);
}

void CFMessagePortSourceGone(CFMessagePortRef port, CFRunLoopSourceRef source) {
    std::lock_guard<std::mutex> lock(port->mutex);
    if (port->source == source)
        port->source = nullptr;
}

namespace {

// Socket files older than this that nobody listens on are left over by a
// process that died; a younger one may belong to a port being made.
constexpr int kStaleSocketSeconds = 5;

// Removes the socket files of dead ports from folder (all but keep).
void RemoveStaleSockets(const std::string& folder, const std::string& keep) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    const time_t now = time(nullptr);
    while (dirent* entry = readdir(dir)) {
        const std::string path = folder + "/" + entry->d_name;
        struct stat st;
        if (path == keep || lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) ||
            st.st_uid != geteuid() || now - st.st_mtime < kStaleSocketSeconds)
            continue;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() + 1 > sizeof address.sun_path)
            continue;
        memcpy(address.sun_path, path.c_str(), path.size() + 1);
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (probe < 0)
            break;
        if (connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
            errno == ECONNREFUSED)
            unlink(path.c_str());
        close(probe);
    }
    closedir(dir);
}

} // namespace

extern "C" CFTypeID CFMessagePortGetTypeID(void) {
    return kTypeMessagePort;
}

extern "C" CFMessagePortRef CFMessagePortCreateLocal(CFAllocatorRef, CFStringRef name,
                                                     CFMessagePortCallBack callout,
                                                     CFMessagePortContext* context,
                                                     Boolean* shouldFreeInfo) {
    if (shouldFreeInfo)
        *shouldFreeInfo = true;
    sockaddr_un address;
    std::string path;
    if (!callout || !PortAddress(name, address, path))
        return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!bound && errno == EADDRINUSE) {
        // A socket file exists: a live port refuses the name; the file of a
        // port whose process died is taken over.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 &&
                    (connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
                     errno == EAGAIN);
        if (probe >= 0)
            close(probe);
        if (!live && unlink(path.c_str()) == 0)
            bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    struct stat st;
    if (!bound || listen(fd, SOMAXCONN) != 0 || stat(path.c_str(), &st) != 0) {
        close(fd);
        return nullptr;
    }
    RemoveStaleSockets(path.substr(0, path.rfind('/')), path);
    auto* port = new __CFMessagePort;
    port->name = static_cast<CFStringRef>(CFRetain(name));
    port->path = path;
    port->callout = callout;
    port->listenFd = fd;
    port->inode = st.st_ino;
    if (context) {
        port->context = *context;
        if (context->retain && context->info)
            port->context.info = const_cast<void*>(context->retain(context->info));
    }
    if (shouldFreeInfo)
        *shouldFreeInfo = false;
    return port;
}

extern "C" CFMessagePortRef CFMessagePortCreateRemote(CFAllocatorRef, CFStringRef name) {
    sockaddr_un address;
    std::string path;
    if (!PortAddress(name, address, path))
        return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        // EAGAIN: the server's backlog is full, it lives; anything else: no server.
        close(fd);
        if (errno != EAGAIN)
            return nullptr;
        fd = -1;
    } else if (!SameUser(fd)) {
        close(fd);
        return nullptr;
    }
    auto* port = new __CFMessagePort;
    port->remote = true;
    port->name = static_cast<CFStringRef>(CFRetain(name));
    port->path = path;
    port->fd = fd;
    return port;
}

extern "C" CFRunLoopSourceRef
CFMessagePortCreateRunLoopSource(CFAllocatorRef, CFMessagePortRef port, CFIndex order) {
    if (!port || port->remote)
        return nullptr;
    std::lock_guard<std::mutex> lock(port->mutex);
    if (!port->valid)
        return nullptr;
    if (port->source)
        return Retained(port->source);
    auto* source = new __CFRunLoopSource;
    source->order = order;
    source->port = Retained(port);
    port->source = source;
    return source;
}

void CFMessagePortCollect(CFMessagePortRef port, std::vector<pollfd>& fds, int& timeoutMs) {
    std::lock_guard<std::mutex> lock(port->mutex);
    if (!port->valid)
        return;
    // Indices are relative to this port's first entry, as Perform sees them.
    const size_t base = fds.size();
    fds.push_back(pollfd{port->listenFd, POLLIN, 0});
    for (Connection* c : port->connections) {
        c->pollIndex = int(fds.size() - base);
        fds.push_back(pollfd{c->fd, short(c->Writing() ? POLLOUT : POLLIN), 0});
        // Wake up for the deadlines that Perform enforces.
        if (c->Writing())
            timeoutMs = std::min(timeoutMs, MsLeft(c->outDeadline));
        else if (c->Unfinished())
            timeoutMs = std::min(
                timeoutMs, MsLeft(c->messageStart + std::chrono::milliseconds(kMessageReadMs)));
    }
}

namespace {

// Logs what, unless it was logged for this port less than 10 s ago.
void LogNow(CFMessagePortRef port, Clock::time_point& last, const char* what) {
    const auto now = Clock::now();
    if (last != Clock::time_point() && now - last < std::chrono::seconds(10))
        return;
    last = now;
    Log(what, port->name->utf8);
}

// At the connection cap: makes room by dropping the connection that has been
// quiet longest, one without a message under way first, then one whose
// message is unfinished. Never one whose message is in the callback. False
// when none can go.
bool DropOneConnection(CFMessagePortRef port) {
    auto& list = port->connections;
    auto victim = list.end();
    for (int pass = 0; pass < 2 && victim == list.end(); ++pass) {
        for (auto it = list.begin(); it != list.end(); ++it) {
            Connection* c = *it;
            if (c->busy || (pass == 0 && (c->Unfinished() || c->Writing())))
                continue;
            if (c->closed || victim == list.end() || c->lastActivity < (*victim)->lastActivity)
                victim = it;
            if (c->closed)
                break;
        }
    }
    if (victim == list.end())
        return false;
    LogNow(port, port->lastCapLog, "connection limit reached, dropping the quietest connections");
    delete *victim;
    list.erase(victim);
    return true;
}

void AcceptAll(CFMessagePortRef port) {
    for (;;) {
        int fd = accept4(port->listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        // Out of descriptors below the cap: the quietest connection makes room.
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && DropOneConnection(port))
            fd = accept4(port->listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        pid_t peer = -1;
        if (!SameUser(fd, &peer)) {
            Log("refused a connection from another user", port->name->utf8);
            close(fd);
            continue;
        }
        if (port->connections.size() >= kMaxConnections && !DropOneConnection(port)) {
            Log("too many connections", port->name->utf8);
            close(fd);
            continue;
        }
        auto* c = new Connection;
        c->fd = fd;
        c->peer = peer;
        c->lastActivity = Clock::now();
        port->connections.push_back(c);
    }
}

// Reads what the socket holds of the current message. True when the message
// is complete; c->closed when the connection has to go.
bool ReadMessage(CFMessagePortRef port, Connection* c) {
    for (;;) {
        ssize_t n;
        if (c->headerGot < kHeaderSize) {
            n = read(c->fd, c->header + c->headerGot, kHeaderSize - c->headerGot);
        } else {
            size_t want = c->parsed.length - c->payloadGot;
            if (want == 0)
                return true;
            if (c->payloadGot + want > c->capacity) {
                // Grow to the full, checked length once the first part came.
                if (c->payloadGot == c->capacity && c->capacity < c->parsed.length) {
                    void* grown = realloc(c->payload->bytes, c->parsed.length);
                    if (!grown) {
                        Log("out of memory for a message", port->name->utf8);
                        c->closed = true;
                        return false;
                    }
                    c->payload->bytes = static_cast<UInt8*>(grown);
                    c->payload->capacity = c->parsed.length;
                    c->capacity = c->parsed.length;
                }
                want = c->capacity - c->payloadGot;
            }
            n = read(c->fd, c->payload->bytes + c->payloadGot, want);
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return false;
        if (n <= 0) {
            if (c->headerGot > 0 || c->payloadGot > 0)
                Log("peer vanished in the middle of a message", port->name->utf8);
            c->closed = true;
            return false;
        }
        if (c->headerGot < kHeaderSize) {
            if (c->headerGot == 0)
                c->messageStart = Clock::now();
            c->headerGot += size_t(n);
            if (c->headerGot < kHeaderSize)
                continue;
            if (!DecodeHeader(c->header, c->parsed) ||
                (c->parsed.kind != kKindRequestReply && c->parsed.kind != kKindRequestOneWay)) {
                Log("bad message header, connection closed", port->name->utf8);
                c->closed = true;
                return false;
            }
            c->payload = CFDataCreateUninitialized(
                CFIndex(std::min<size_t>(c->parsed.length, kInitialPayload)));
            if (!c->payload) {
                c->closed = true;
                return false;
            }
            c->capacity = std::min<size_t>(c->payload->capacity, c->parsed.length);
            c->payload->length = c->parsed.length;
            c->payloadGot = 0;
        } else {
            c->payloadGot += size_t(n);
        }
    }
}

} // namespace

namespace {

// Queues bytes after what c still has to send and sends what the socket
// takes now. False when the connection has to go.
bool Queue(Connection* c, const UInt8* head, size_t headSize, const UInt8* body, size_t bodySize) {
    if (!c->Writing())
        c->outDeadline = Clock::now() + std::chrono::milliseconds(kServerWriteMs);
    c->out.insert(c->out.end(), head, head + headSize);
    if (bodySize > 0)
        c->out.insert(c->out.end(), body, body + bodySize);
    return Flush(c->fd, c->out, c->outSent);
}

} // namespace

int CFMessagePortPerform(CFMessagePortRef port, const pollfd* fds, size_t count, int budget) {
    int handled = 0;
    std::unique_lock<std::mutex> lock(port->mutex);
    if (!port->valid || port->serving || count == 0)
        return 0;
    port->serving = true;
    if (fds[0].fd == port->listenFd && (fds[0].revents & POLLIN))
        AcceptAll(port);
    const auto now = Clock::now();
    for (size_t i = 0; i < port->connections.size() && handled < budget && port->valid; ++i) {
        Connection* c = port->connections[i];
        if (c->closed || c->busy)
            continue;
        const bool polled =
            c->pollIndex >= 0 && size_t(c->pollIndex) < count && fds[c->pollIndex].fd == c->fd;
        const short revents = polled ? fds[c->pollIndex].revents : 0;
        c->pollIndex = -1;
        if (c->Writing()) {
            // Nothing more is read until the client has taken what it was sent.
            if ((revents != 0 && !Flush(c->fd, c->out, c->outSent)) ||
                (c->Writing() && now >= c->outDeadline))
                c->closed = true;
            continue;
        }
        if (c->Unfinished() && now - c->messageStart >= std::chrono::milliseconds(kMessageReadMs)) {
            LogNow(port, port->lastLateLog, "message not finished in time, connection closed");
            c->closed = true;
            continue;
        }
        if (!(revents & (POLLIN | POLLHUP | POLLERR)) || !ReadMessage(port, c))
            continue;
        // A complete message: acknowledge it, hand it to the callback, reply.
        c->lastActivity = now;
        const Header request = c->parsed;
        CFDataRef data = (request.flags & kFlagNoData) ? nullptr : c->payload;
        if (!data && c->payload)
            CFRelease(c->payload);
        c->payload = nullptr;
        c->headerGot = 0;
        c->payloadGot = 0;
        UInt8 ack[kHeaderSize];
        EncodeHeader(ack, Header{kKindAck, 0, request.msgid, 0});
        if (!Queue(c, ack, kHeaderSize, nullptr, 0)) {
            c->closed = true;
            if (data)
                CFRelease(data);
            continue;
        }
        c->busy = true;
        CFMessagePortCallBack callout = port->callout;
        void* info = port->context.info;
        const pid_t sender = c->peer;
        lock.unlock();
        t_calloutPort = port;
        t_calloutSender = sender;
        CFDataRef reply = callout(port, request.msgid, data, info);
        t_calloutPort = nullptr;
        t_calloutSender = -1;
        if (data)
            CFRelease(data);
        lock.lock();
        c->busy = false;
        ++handled;
        if (!port->valid || c->closed) {
            c->closed = true;
            if (reply)
                CFRelease(reply);
            break;
        }
        if (request.kind == kKindRequestReply) {
            Header h{kKindReply, 0, request.msgid, 0};
            if (!reply)
                h.flags = kFlagNoData;
            else if (CFDataGetLength(reply) > CFIndex(kMaxMessage))
                h.flags = kFlagNoData | kFlagReplyTooLarge;
            else
                h.length = uint32_t(CFDataGetLength(reply));
            UInt8 head[kHeaderSize];
            EncodeHeader(head, h);
            if (!Queue(c, head, kHeaderSize, h.length > 0 ? CFDataGetBytePtr(reply) : nullptr,
                       h.length))
                c->closed = true;
        }
        if (reply)
            CFRelease(reply);
    }
    auto& list = port->connections;
    for (auto it = list.begin(); it != list.end();) {
        if ((*it)->closed && !(*it)->busy) {
            delete *it;
            it = list.erase(it);
        } else {
            ++it;
        }
    }
    port->serving = false;
    return handled;
}

namespace {

// Drops a remote port's connection after a time-out so that a late reply can
// never be taken for the answer to a later request.
void DropConnection(CFMessagePortRef port) {
    if (port->fd >= 0)
        close(port->fd);
    port->fd = -1;
}

bool Reconnect(CFMessagePortRef port, Clock::time_point deadline) {
    sockaddr_un address;
    std::string path;
    if (!PortAddress(port->name, address, path))
        return false;
    while (true) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            if (!SameUser(fd)) {
                close(fd);
                return false;
            }
            port->fd = fd;
            return true;
        }
        int error = errno;
        close(fd);
        if (error != EAGAIN || MsLeft(deadline) == 0)
            return false;
        usleep(1000);
    }
}

} // namespace

extern "C" SInt32 CFMessagePortSendRequest(CFMessagePortRef port, SInt32 msgid, CFDataRef data,
                                           CFTimeInterval sendTimeout, CFTimeInterval rcvTimeout,
                                           CFStringRef replyMode, CFDataRef* returnData) {
    if (returnData)
        *returnData = nullptr;
    if (!port || !port->remote)
        return kCFMessagePortIsInvalid;
    if (data && CFDataGetLength(data) > CFIndex(kMaxMessage))
        return kCFMessagePortTransportError;
    std::lock_guard<std::mutex> sending(port->sendMutex);
    {
        std::lock_guard<std::mutex> lock(port->mutex);
        if (!port->valid) {
            DropConnection(port);
            return kCFMessagePortIsInvalid;
        }
    }
    const auto sendDeadline = Deadline(sendTimeout);
    auto gone = [port]() {
        DropConnection(port);
        InvalidatePort(port);
        return SInt32(kCFMessagePortBecameInvalidError);
    };
    if (port->fd < 0 && !Reconnect(port, sendDeadline)) {
        return MsLeft(sendDeadline) == 0 ? SInt32(kCFMessagePortSendTimeout) : gone();
    }
    const bool wantReply = replyMode != nullptr;
    Header h{wantReply ? kKindRequestReply : kKindRequestOneWay, 0, msgid, 0};
    if (!data)
        h.flags = kFlagNoData;
    else
        h.length = uint32_t(CFDataGetLength(data));
    UInt8 head[kHeaderSize];
    EncodeHeader(head, h);
    iovec iov[2] = {{head, kHeaderSize}, {const_cast<UInt8*>(CFDataGetBytePtr(data)), h.length}};
    Io io = WriteAll(port->fd, iov, h.length > 0 ? 2 : 1, sendDeadline);
    UInt8 in[kHeaderSize];
    Header answer;
    if (io == Io::Done)
        io = ReadAll(port->fd, in, kHeaderSize, sendDeadline);
    if (io == Io::Timeout) {
        DropConnection(port);
        return kCFMessagePortSendTimeout;
    }
    if (io == Io::Closed)
        return gone();
    if (io != Io::Done || !DecodeHeader(in, answer) || answer.kind != kKindAck) {
        DropConnection(port);
        return kCFMessagePortTransportError;
    }
    if (!wantReply)
        return kCFMessagePortSuccess;
    const auto rcvDeadline = Deadline(rcvTimeout);
    io = ReadAll(port->fd, in, kHeaderSize, rcvDeadline);
    if (io == Io::Done && (!DecodeHeader(in, answer) || answer.kind != kKindReply))
        io = Io::Error;
    __CFData* reply = nullptr;
    if (io == Io::Done && !(answer.flags & kFlagNoData)) {
        reply = CFDataCreateUninitialized(CFIndex(answer.length));
        io = reply ? ReadAll(port->fd, reply->bytes, answer.length, rcvDeadline) : Io::Error;
    }
    if (io != Io::Done) {
        if (reply)
            CFRelease(reply);
        if (io == Io::Timeout) {
            DropConnection(port);
            return kCFMessagePortReceiveTimeout;
        }
        if (io == Io::Closed)
            return gone();
        DropConnection(port);
        return kCFMessagePortTransportError;
    }
    if (answer.flags & kFlagReplyTooLarge)
        return kCFMessagePortTransportError;
    if (returnData)
        *returnData = reply;
    else if (reply)
        CFRelease(reply);
    return kCFMessagePortSuccess;
}

extern "C" void CFMessagePortInvalidate(CFMessagePortRef port) {
    if (port)
        InvalidatePort(port);
}

extern "C" Boolean CFMessagePortIsValid(CFMessagePortRef port) {
    if (!port)
        return false;
    bool peerGone = false;
    {
        std::lock_guard<std::mutex> lock(port->mutex);
        if (!port->valid)
            return false;
        if (port->remote && port->sendMutex.try_lock()) {
            if (port->fd >= 0) {
                pollfd p{port->fd, POLLIN, 0};
                UInt8 byte;
                if (poll(&p, 1, 0) > 0 && ((p.revents & (POLLHUP | POLLERR)) ||
                                           recv(port->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0))
                    peerGone = true;
            }
            port->sendMutex.unlock();
        }
    }
    if (peerGone) {
        InvalidatePort(port);
        return false;
    }
    return true;
}

extern "C" Boolean CFMessagePortIsRemote(CFMessagePortRef port) {
    return port && port->remote;
}

extern "C" CFStringRef CFMessagePortGetName(CFMessagePortRef port) {
    return port ? port->name : nullptr;
}

// Private to the platform layer, declared in no header of this library: the
// sender of the message whose callback runs on this thread for local, or -1.
// The platform's message-port sender library (platform/messageportsender)
// passes it on; the public interface stays the framework's own.
extern "C" pid_t _CFMessagePortGetCalloutSender(CFMessagePortRef local) {
    return local && local == t_calloutPort ? t_calloutSender : -1;
}

extern "C" void CFMessagePortGetContext(CFMessagePortRef port, CFMessagePortContext* context) {
    if (port && context)
        *context = port->context;
}

extern "C" void CFMessagePortSetInvalidationCallBack(CFMessagePortRef port,
                                                     CFMessagePortInvalidationCallBack callout) {
    if (!port)
        return;
    bool invalidNow;
    {
        std::lock_guard<std::mutex> lock(port->mutex);
        port->invalidation = callout;
        invalidNow = !port->valid;
    }
    if (invalidNow && callout)
        callout(port, port->context.info);
}
