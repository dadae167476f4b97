// cvl-request-flood: one process that sends requests to the service's
// request port back to back, each on a connection of its own as clients do,
// until it is killed. Its sender identifiers begin with "flood" and its
// process identifier, so that floods from several processes differ.
//
//   cvl-request-flood one     notes, every one from the same sender identifier
//   cvl-request-flood many    notes, a new sender identifier for every one
//   cvl-request-flood starts  "StartStreaming", a new sender identifier for
//                             every one, none of which has a frame port
//
// Exit status 2 on a usage error; otherwise it runs until a signal ends it,
// or until the process that started it has gone (so a test that dies cannot
// leave it flooding).
#include "RequestSender.h"

#include <csignal>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc != 2)
        return 2;
    const std::string mode = argv[1];
    if (mode != "one" && mode != "many" && mode != "starts")
        return 2;
    const std::string prefix = "flood" + std::to_string(getpid());
    const pid_t parent = getppid();
    for (unsigned long i = 0; getppid() == parent; ++i) {
        const std::string number = std::to_string(i);
        if (mode == "one")
            SendRequestText(prefix + "_note " + number);
        else if (mode == "many")
            SendRequestText(prefix + "x" + number + "_note " + number);
        else
            SendRequestText(prefix + "x" + number + "_StartStreaming");
    }
    return 0;
}
