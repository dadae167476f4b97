// The smallest host of the client library: it streams as a video host does,
// in the calling order the library expects, and prints the size of every
// frame it gets.
//
//   example-host [frames]          port mode (the default)
//   example-host --sandbox [frames] sandboxed host: SandboxTest decides
#include <Corvalink/CVLClient.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

int main(int argc, char** argv) {
    bool sandboxed = false;
    int frames = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sandbox") == 0)
            sandboxed = true;
        else
            frames = std::atoi(argv[i]);
    }

    CVLClient client;
    if (sandboxed)
        client.SandboxTest(); // sandbox mode when the request port is out of reach
    if (!client.EnableSandboxMode())
        client.StartStreaming(); // starts the frame port, then asks for a stream

    for (int i = 0; i < frames; ++i) {
        // Every frame is the caller's to destroy, never null: a live frame, a
        // repeat of the newest one, or a stock status frame.
        std::unique_ptr<EvfFrame> frame(client.GetFrame());
        std::printf("frame %d: %d bytes\n", i + 1, static_cast<int>(frame->GetBufSize()));
        usleep(1000000 / 30);
    }

    client.StopStreaming(); // tells the service and stops the frame port
    std::printf("sandbox mode: %s\n", client.EnableSandboxMode() ? "on" : "off");
    return 0;
}
