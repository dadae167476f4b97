// A camera owner's way from the installed package to a picture in the
// browser, without systemd: the package installed into a throw-away root,
// the user's camera settings naming the project's PTP/IP test camera as the
// network camera, and what the enabled units' ExecStart lines run, under a
// supervisor that restarts as each unit says, in a private desktop session.
// Headless Chromium lists "Corvalink Camera" and shows the test camera's
// frames, also after the console's restart of the service.
#include "CameraPage.h"
#include "CameraRun.h"
#include "CameraProcess.h"
#include "DesktopSession.h"
#include "HeadlessBrowser.h"
#include "InstalledRoot.h"
#include "RequestSender.h"
#include "TestSupport.h"
#include "UnitSupervisor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace cvl::test {
namespace {

using std::chrono::seconds;

const char kCameraLabel[] = "Corvalink Camera";
const std::string kUnits = "/usr/lib/systemd/user/";

bool ShowsLiveBars(const CameraView& view) {
    // The test camera draws colour bars; the status pictures have none.
    return view.Playing() && ShowsColourBars(view.picture, 5);
}

TEST(CameraOwner, InstallsPicksCorvalinkCameraInTheBrowserAndSeesTheNetworkCamera) {
    ASSERT_TRUE(HeadlessBrowser::Installed(BrowserKind::Chromium));
    InstalledRoot root;
    std::string output;
    ASSERT_TRUE(root.Install(output)) << output;
    if (!root.CanRunInPlace())
        GTEST_SKIP() << "no mount namespace to put the installation in place";

    // The network camera, named in the user's settings only.
    CameraProcess camera;
    ASSERT_TRUE(camera.Start(25));
    unsetenv("CVL_GPHOTO2_PORT");
    const std::string config = MakeFolder("config");
    MakeFolder("config/corvalink");
    ASSERT_TRUE(WriteFile(config + "/corvalink/camera.conf",
                          "CVL_GPHOTO2_PORT=" + camera.GphotoPort() + "\n"));

    DesktopSession session;
    ASSERT_TRUE(session.Start()) << session.Errors();
    // The user manager's environment: the session's, the test's runtime
    // folder (the service's ports) and the configuration folder.
    std::map<std::string, std::string> environment = {{"XDG_CONFIG_HOME", config}};
    for (const std::string& name : DesktopSession::ClientEnvironmentRemoved())
        environment[name] = "";
    for (const std::string& entry : session.ClientEnvironment())
        environment[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);

    // Every unit that the package enables for the user.
    std::string enabled;
    RunCommand("ls " + ShellQuote(root.Path() + "/etc/systemd/user/default.target.wants"),
               &enabled);
    ASSERT_EQ(SplitLines(enabled),
              (std::vector<std::string>{"corvalink-camera.service", "corvalink.service"}));
    auto unitText = [&](const std::string& unit) {
        std::string text;
        EXPECT_TRUE(ReadFile(root.Path() + kUnits + unit, text)) << unit;
        return text;
    };
    UnitSupervisor service(root, unitText("corvalink.service"), environment,
                           TempFolder() + "/service.log");
    UnitSupervisor node(root, unitText("corvalink-camera.service"), environment,
                        TempFolder() + "/camera-node.log");
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(node.Start());
    auto logs = [&] {
        std::string serviceLog, nodeLog;
        ReadFile(TempFolder() + "/service.log", serviceLog);
        ReadFile(TempFolder() + "/camera-node.log", nodeLog);
        return "--- service stderr\n" + serviceLog + "--- camera node\n" + nodeLog +
               session.Errors();
    };
    ASSERT_TRUE(WaitFor([] { return RequestPortServed(); }, seconds(30))) << logs();
    ASSERT_TRUE(session.WaitForNode(kCameraLabel, seconds(60))) << logs();

    // The browser lists the camera and plays the test camera's frames.
    PageServer server;
    ASSERT_TRUE(server.Start());
    CameraPage page(server);
    HeadlessBrowser browser(BrowserKind::Chromium, session);
    const CameraView view = OpenCameraPage(browser, page, page.Url(), ShowsLiveBars, seconds(120));
    ASSERT_TRUE(ShowsLiveBars(view)) << view.Summary() << "\n" << browser.Log() << logs();
    EXPECT_EQ(view.label, kCameraLabel);
    EXPECT_NE(std::find(view.labels.begin(), view.labels.end(), kCameraLabel), view.labels.end());
    const uint64_t served = camera.FramesServed();
    EXPECT_TRUE(WaitFor([&] { return camera.FramesServed() > served + 10; }, seconds(30)));

    // The console's restart: the service closes, its unit brings it back,
    // and the browser's picture comes back from the camera.
    ASSERT_EQ(root.RunInPlace("printf 'r\\nq\\n' | corvalink-console", output), 0) << output;
    ASSERT_TRUE(WaitFor([&] { return service.Starts() == 2; }, seconds(30))) << logs();
    EXPECT_EQ(service.LastExitStatus(), 0);
    // The new service has the camera again: the camera serves its session.
    const uint64_t restarted = camera.FramesServed();
    EXPECT_TRUE(WaitFor([&] { return camera.FramesServed() > restarted + 10; }, seconds(60)))
        << logs();
    const size_t before = page.Reports();
    const CameraView after = page.WaitForView(
        [&](const CameraView& v) { return ShowsLiveBars(v) && v.frames > view.frames; },
        seconds(120), before);
    EXPECT_TRUE(ShowsLiveBars(after)) << after.Summary() << "\n" << logs();

    browser.Close();
    server.Stop();
    // Both end with SIGTERM as "systemctl --user stop" ends them.
    EXPECT_EQ(node.Stop(seconds(30)), 0) << logs();
    EXPECT_EQ(service.Stop(seconds(30)), 0) << logs();
}

} // namespace
} // namespace cvl::test
