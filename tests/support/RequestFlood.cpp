// cvl-request-flood: one process that sends requests to the service's
// request port back to back, each on a connection of its own as clients do,
// until it is killed.
//
//   cvl-request-flood one     every request from the sender identifier "flood"
//   cvl-request-flood many    a new sender identifier for every request
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
    if (mode != "one" && mode != "many")
        return 2;
    const pid_t parent = getppid();
    for (unsigned long i = 0; getppid() == parent; ++i) {
        const std::string number = std::to_string(i);
        SendRequestText((mode == "one" ? std::string("flood") : "flood" + number) + "_note " +
                        number);
    }
    return 0;
}
