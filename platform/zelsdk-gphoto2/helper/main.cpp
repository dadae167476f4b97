// zelsdk-gphoto2-helper: the process in which the libgphoto2 backend runs
// libgphoto2. The backend library starts it with its end of a socket pair as
// descriptor 3, standard input and output on /dev/null and its own standard
// error; it serves one request at a time and ends at the end of the stream,
// after a request it cannot read, or when it retires (Helper::Retiring).
#include "Helper.h"
#include "LiveViewRestart.h"
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
        zelgp::RepairStandardDescriptors();
        if (!served)
            return 3;
        const std::vector<uint8_t> message = answer.Message();
        if (!zelgp::WriteAll(kSocket, message.data(), message.size()) || helper.Retiring())
            break;
    }
    return 0;
}
