// cvl-port-probe: what one process, typically run as another user with
// setpriv, can reach of a service's ports and files. Exit status 0 means
// "reached", 1 "refused", 2 a usage error.
//
//   cvl-port-probe send NAME          a request through CFMessagePortSendRequest
//   cvl-port-probe raw SOCKET-PATH    a raw request; 0 only when acknowledged
//   cvl-port-probe local NAME         creating a local port of that name
//   cvl-port-probe read PATH          reading a file
//   cvl-port-probe list PATH          listing a folder
#include <CoreFoundation/CoreFoundation.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

CFStringRef Name(const char* text) {
    return CFStringCreateWithCString(nullptr, text, kCFStringEncodingMacRoman);
}

int Send(const char* name) {
    CFStringRef cfName = Name(name);
    CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, cfName);
    CFRelease(cfName);
    if (!remote)
        return 1;
    const UInt8 text[] = "probe_note";
    CFDataRef data = CFDataCreate(nullptr, text, sizeof text);
    CFDataRef reply = nullptr;
    const SInt32 result =
        CFMessagePortSendRequest(remote, 0, data, 2.0, 2.0, kCFRunLoopDefaultMode, &reply);
    CFRelease(data);
    if (reply)
        CFRelease(reply);
    CFMessagePortInvalidate(remote);
    CFRelease(remote);
    return result == kCFMessagePortSuccess ? 0 : 1;
}

int Raw(const char* path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "connect: %s\n", std::strerror(errno));
        return 1;
    }
    // A request of one byte wanting a reply (docs/message-ports.md).
    const UInt8 request[17] = {'C', 'F', 'M', 'P', 1, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    if (write(fd, request, sizeof request) != ssize_t(sizeof request))
        return 1;
    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    UInt8 ack[16];
    const ssize_t got = read(fd, ack, sizeof ack);
    close(fd);
    return got == 16 && ack[5] == 3 ? 0 : 1;
}

int Local(const char* name) {
    CFStringRef cfName = Name(name);
    CFMessagePortRef port = CFMessagePortCreateLocal(
        nullptr, cfName,
        [](CFMessagePortRef, SInt32, CFDataRef, void*) -> CFDataRef { return nullptr; }, nullptr,
        nullptr);
    CFRelease(cfName);
    if (!port)
        return 1;
    CFMessagePortInvalidate(port);
    CFRelease(port);
    return 0;
}

int Read(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    char byte;
    const bool read1 = read(fd, &byte, 1) >= 0;
    close(fd);
    return read1 ? 0 : 1;
}

int List(const char* path) {
    DIR* dir = opendir(path);
    if (!dir)
        return 1;
    const bool listed = readdir(dir) != nullptr;
    closedir(dir);
    return listed ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    // A server that refuses this user closes the connection, maybe before the
    // request is written: that is a refusal (1), not a death by SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    if (argc != 3)
        return 2;
    const std::string verb = argv[1];
    if (verb == "send")
        return Send(argv[2]);
    if (verb == "raw")
        return Raw(argv[2]);
    if (verb == "local")
        return Local(argv[2]);
    if (verb == "read")
        return Read(argv[2]);
    if (verb == "list")
        return List(argv[2]);
    return 2;
}
