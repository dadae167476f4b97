// cvl-web: the camera's live view in a browser. One client stream from the
// service, fanned out over HTTP to any number of viewers: the page at "/",
// the Motion-JPEG stream, a snapshot and the figures. Runs until SIGINT or
// SIGTERM.
#include "FrameHub.h"
#include "FramePump.h"
#include "WebOptions.h"
#include "WebServer.h"

#include "cvlhost/HostOptions.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace cvl::web;
    WebOptions options;
    std::string error;
    const std::string program = cvl::host::ProgramName(argv[0], "cvl-web");
    if (!ParseWebOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(),
                     WebUsage(program).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(WebUsage(program).c_str(), stdout);
        return 0;
    }

    // The signals that end the run are taken by sigwait below; every thread
    // started from here on inherits the blocked mask. A viewer that hangs up
    // must not end the process either.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    FrameHub hub;
    WebServer server(hub, options.settingsRemote);
    if (!server.Start(options.listen, error)) {
        std::fprintf(stderr, "cvl-web: %s\n", error.c_str());
        return 1;
    }
    ListenAddress shown = options.listen;
    shown.port = server.Port();
    if (!shown.IsLoopback())
        std::fprintf(stderr,
                     "cvl-web: warning: %s is reachable from other machines, and cvl-web "
                     "serves the camera without authentication\n",
                     shown.Text().c_str());
    if (options.settingsRemote)
        std::fprintf(stderr,
                     "cvl-web: warning: anyone who reaches %s can change the camera's "
                     "settings\n",
                     shown.Text().c_str());
    std::printf("cvl-web: serving http://%s/\n", shown.Text().c_str());
    std::fflush(stdout);

    FramePump pump(hub, options);
    pump.Start();

    int received = 0;
    sigwait(&endSignals, &received);
    std::printf("cvl-web: stopping (%s)\n", received == SIGINT ? "SIGINT" : "SIGTERM");
    std::fflush(stdout);
    hub.Close();   // streams end, so their connections close at once
    server.Stop(); // joins every connection's thread
    pump.Stop();   // StopStreaming
    std::printf("cvl-web: stopped\n");
    return 0;
}
