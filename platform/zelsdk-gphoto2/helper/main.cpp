// zelsdk-gphoto2-helper: the process in which the libgphoto2 backend runs
// libgphoto2. The backend library starts it with its end of a socket pair as
// descriptor 3, standard input and output on /dev/null and its own standard
// error; it serves one request at a time and ends at the end of the stream,
// after a request it cannot read, or when it retires (Helper::Retiring).
#include "Helper.h"
#include "Wire.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// libgphoto2 loads every camera driver to list them and unloads them again;
// what those drivers keep until exit shows as leaks in unknown modules, which
// no suppression can name. The helper's leaks end with it; the service that
// starts it keeps its own leak check.
extern "C" int __lsan_is_turned_off() {
    return 1;
}

namespace {

constexpr int kSocket = 3;

// libgphoto2's PTP/IP disconnect closes descriptor 0 whether or not it
// opened it. Standard input, output and error are put back on /dev/null
// after every request, so that none of libgphoto2's own sockets lands on a
// number it will close again later.
void RepairStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

} // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    if (fcntl(kSocket, F_GETFD) == -1) {
        std::fprintf(stderr, "zelsdk-gphoto2-helper: started without its socket\n");
        return 2;
    }
    fcntl(kSocket, F_SETFD, FD_CLOEXEC);
    zelgp::Helper helper;
    if (!helper.Ready()) {
        std::fprintf(stderr, "zelsdk-gphoto2-helper: cannot load libgphoto2's camera drivers\n");
        return 1;
    }
    std::vector<uint8_t> request;
    while (zelgp::ReadMessage(kSocket, request, zelgp::kMaxRequestBytes)) {
        zelgp::WireWriter answer;
        const bool served = helper.Serve(request, answer);
        RepairStandardDescriptors();
        if (!served)
            return 3;
        const std::vector<uint8_t> message = answer.Message();
        if (!zelgp::WriteAll(kSocket, message.data(), message.size()) || helper.Retiring())
            break;
    }
    return 0;
}
