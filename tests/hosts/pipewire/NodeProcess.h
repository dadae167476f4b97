// cvl-camera in a private desktop session without the portal (GStreamer and
// V4L2 programs reach PipeWire directly), with this process one of the
// session's clients, so that its pipewiresrc consumers find the node.
#ifndef CVL_TESTS_HOSTS_PIPEWIRE_NODEPROCESS_H
#define CVL_TESTS_HOSTS_PIPEWIRE_NODEPROCESS_H

#include "ChildProcess.h"
#include "DesktopSession.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace cvl::test {

class NodeProcess {
public:
    NodeProcess() = default;
    // Ends cvl-camera as a user unit is ended, and expects status 0.
    ~NodeProcess();
    NodeProcess(const NodeProcess&) = delete;
    NodeProcess& operator=(const NodeProcess&) = delete;

    testing::AssertionResult StartSession();
    // cvl-camera with options and environment besides the session's, until
    // its node is listed.
    testing::AssertionResult StartCamera(const std::vector<std::string>& options = {},
                                         const std::vector<std::string>& environment = {});
    testing::AssertionResult Start() {
        testing::AssertionResult session = StartSession();
        return session ? StartCamera() : session;
    }

    DesktopSession& Session() { return *m_session; }
    ChildProcess& Camera() { return m_camera; }
    pid_t Pid() const { return m_camera.Pid(); }
    std::string Log() const { return m_camera.Log(); }

private:
    std::unique_ptr<DesktopSession> m_session;
    ChildProcess m_camera;
};

} // namespace cvl::test

#endif
