// cvl-camera: the Corvalink camera as a PipeWire camera node, for browsers,
// video-call and recording programs, GStreamer pipelines and (through
// pw-v4l2) V4L2 programs. Runs until SIGINT or SIGTERM.
#include "CameraNode.h"
#include "CameraOptions.h"

#include "cvlhost/HostOptions.h"
#include "cvlhost/StockFrames.h"

#include <pipewire/pipewire.h>

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace cvl::camera;
    CameraOptions options;
    std::string error;
    const std::string program = cvl::host::ProgramName(argv[0], "cvl-camera");
    if (!ParseCameraOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(),
                     CameraUsage(program).c_str());
        return kExitBadOptions;
    }
    if (options.help) {
        std::fputs(CameraUsage(program).c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("cvl-camera %s\n", CVL_VERSION);
        return kExitOk;
    }
    // The installation's status pictures, which the client library reads
    // too: without them no picture can be shown.
    if (!cvl::host::StockFrames().Complete()) {
        std::fprintf(stderr, "cvl-camera: no Corvalink installation: its status pictures cannot be "
                             "read; install Corvalink, or set CVL_ROOT to the root of one\n");
        return kExitNoInstallation;
    }

    // The signals that end the run are taken by sigwait below; every thread
    // started from here on inherits the blocked mask. SIGUSR1 is the node's
    // own word that it cannot go on.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    pw_init(nullptr, nullptr);
    int status = kExitOk;
    {
        CameraNode node(options);
        status = node.Start(error);
        if (status != kExitOk) {
            std::fprintf(stderr, "cvl-camera: %s\n", error.c_str());
        } else {
            std::fprintf(stderr, "cvl-camera: publishing \"%s\" (node.name %s)\n",
                         options.description.c_str(), options.nodeName.c_str());
            int received = 0;
            sigwait(&endSignals, &received);
            if (received == SIGUSR1 && node.Failed(error)) {
                std::fprintf(stderr, "cvl-camera: %s\n", error.c_str());
                status = kExitFailure;
            }
        }
    }
    pw_deinit();
    return status;
}
