// zelsim: steers the camera simulator of the process that runs the SDK under
// the same installation root, over its control socket.
#include "ControlPath.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The usage text, naming the program `program`.
std::string Usage(const std::string& program) {
    std::string usage;
    for (const char* verb : {"status", "plug [standard|lumidrift|unusable]", "unplug",
                             "busy on|off", "evf off", "lens open|close", "set SETTING VALUE",
                             "shutdown-soon", "fail CALL CODE [COUNT]", "calls [--clear]"})
        usage += (usage.empty() ? "usage: " : "       ") + program + " " + verb + "\n";
    return usage;
}

bool Valid(int argc, char** argv) {
    std::string verb = argv[1];
    auto arg = [&](int i) { return i < argc ? std::string(argv[i]) : std::string(); };
    int n = argc - 2;
    if (verb == "status" || verb == "unplug" || verb == "shutdown-soon")
        return n == 0;
    if (verb == "plug")
        return n == 0 ||
               (n == 1 && (arg(2) == "standard" || arg(2) == "lumidrift" || arg(2) == "unusable"));
    if (verb == "busy")
        return n == 1 && (arg(2) == "on" || arg(2) == "off");
    if (verb == "evf")
        return n == 1 && arg(2) == "off";
    if (verb == "lens")
        return n == 1 && (arg(2) == "open" || arg(2) == "close");
    if (verb == "fail")
        return n == 2 || n == 3;
    if (verb == "set")
        return n == 2;
    if (verb == "calls")
        return n == 0 || (n == 1 && arg(2) == "--clear");
    return false;
}

// The name it was started by, for its usage (the package runs it as
// corvalink-zelsim): the last component of argv[0].
std::string ProgramName(const char* argv0) {
    const char* slash = argv0 ? std::strrchr(argv0, '/') : nullptr;
    const char* name = slash ? slash + 1 : argv0;
    return name && *name ? name : "zelsim";
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = ProgramName(argv[0]);
    const std::string usage = Usage(program);
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage.c_str(), stdout);
        return 0;
    }
    if (argc < 2 || !Valid(argc, argv)) {
        std::fputs(usage.c_str(), stderr);
        return 2;
    }
    std::string line;
    for (int i = 1; i < argc; ++i)
        line += std::string(i > 1 ? " " : "") + argv[i];
    line += "\n";

    std::string path, error;
    if (!zelsim::ControlSocketPath(path, error)) {
        std::fprintf(stderr, "zelsim: %s\n", error.c_str());
        return 1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "zelsim: no camera simulator is running for this installation\n");
        return 1;
    }
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        std::fprintf(stderr, "zelsim: the simulator did not take the command\n");
        return 1;
    }
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
    close(fd);

    size_t end = reply.find('\n');
    std::string head = reply.substr(0, end);
    std::string body = end == std::string::npos ? "" : reply.substr(end + 1);
    if (head == "OK") {
        std::fwrite(body.data(), 1, body.size(), stdout);
        return 0;
    }
    if (head.compare(0, 6, "USAGE ") == 0) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), head.c_str() + 6, usage.c_str());
        return 2;
    }
    if (head.compare(0, 6, "ERROR ") == 0) {
        std::fprintf(stderr, "zelsim: %s\n", head.c_str() + 6);
        return 3;
    }
    std::fprintf(stderr, "zelsim: no answer from the simulator\n");
    return 1;
}
