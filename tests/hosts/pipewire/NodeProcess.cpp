#include "NodeProcess.h"

#include "TestSupport.h"

#include <cstdlib>

namespace cvl::test {

NodeProcess::~NodeProcess() {
    if (m_camera.Pid() > 0) {
        EXPECT_EQ(m_camera.Stop(std::chrono::seconds(20)), 0) << m_camera.Log();
    }
}

testing::AssertionResult NodeProcess::StartSession() {
    DesktopSessionOptions options;
    options.portal = false;
    m_session = std::make_unique<DesktopSession>(options);
    if (!m_session->Start())
        return testing::AssertionFailure() << m_session->Errors();
    setenv("PIPEWIRE_RUNTIME_DIR", m_session->PipeWireRuntimeDir().c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    return testing::AssertionSuccess();
}

testing::AssertionResult NodeProcess::StartCamera(const std::vector<std::string>& options,
                                                  const std::vector<std::string>& environment) {
    std::vector<std::string> arguments = {Program("cvl-camera")};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<std::string> variables = m_session->ClientEnvironment();
    variables.insert(variables.end(), environment.begin(), environment.end());
    if (!m_camera.Start(
            arguments,
            ChildProcess::EnvironmentWith(variables, DesktopSession::ClientEnvironmentRemoved()),
            TempFolder() + "/cvl-camera.log"))
        return testing::AssertionFailure() << "cvl-camera did not start";
    if (!m_session->WaitForNode("Corvalink Camera", std::chrono::seconds(60)))
        return testing::AssertionFailure() << m_camera.Log() << m_session->Errors();
    return testing::AssertionSuccess();
}

} // namespace cvl::test
