// A camera node that is not Corvalink's: GStreamer's videotestsrc published
// through pipewiresink with the properties camera consumers look for, in a
// private desktop session. Shows that the session and a consumer work before
// the project's own node is involved.
#ifndef CVL_TESTS_SUPPORT_PLAINCAMERANODE_H
#define CVL_TESTS_SUPPORT_PLAINCAMERANODE_H

#include "ChildProcess.h"
#include "DesktopSession.h"

#include <cstdint>
#include <string>

namespace cvl::test {

struct PlainCameraNodeOptions {
    std::string description = "Plain Test Camera";
    int width = 640;
    int height = 480;
    int framesPerSecond = 30;
    std::string format = "I420";
    // The whole picture in this colour (0xRRGGBB).
    uint32_t colour = 0x20c040;
};

class PlainCameraNode {
public:
    explicit PlainCameraNode(const DesktopSession& session,
                             PlainCameraNodeOptions options = PlainCameraNodeOptions());
    // Stops the publisher if it still runs.
    ~PlainCameraNode() = default;

    // Starts gst-launch-1.0 and waits until the session lists the node.
    bool Start();
    void Stop() { m_process.Stop(); }
    pid_t Pid() const { return m_process.Pid(); }
    std::string Log() const { return m_process.Log(); }

private:
    const DesktopSession& m_session;
    PlainCameraNodeOptions m_options;
    ChildProcess m_process;
};

} // namespace cvl::test

#endif
