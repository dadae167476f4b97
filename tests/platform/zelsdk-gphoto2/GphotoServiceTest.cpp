// The real service with the libgphoto2 build of the SDK, streaming from the
// PTP/IP test camera: live frames at the camera's pace, the camera going away
// and coming back, another program holding it, and the orderly stop.
#include "CVLClient.h"
#include "CameraProcess.h"
#include "FrameWatch.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace cvl::test {
namespace {

// The test camera's rate: below the service's 35 downloads a second, so the
// camera sets the pace.
constexpr int kCameraFps = 25;
// libgphoto2 loads every camera driver and opens the session under the
// sanitizers on a shared machine: generous.
constexpr auto kConnect = seconds(40);

class GphotoService : public ::testing::Test {
protected:
    void SetUp() override {
        AllowLibraryLeaks();
        ASSERT_TRUE(m_camera.Start(kCameraFps));
        m_options.zelsdkLibrary = GphotoLibrary();
    }

    void TearDown() override {
        // What the service did is the first thing to read when a case fails.
        if (HasFailure())
            for (const std::string& message : LogMessages())
                std::printf("service log: %s\n", message.c_str());
    }

    bool StartLive(CVLClient& client) {
        if (!m_service.Start(m_options))
            return false;
        client.StartStreaming();
        return StreamingAsked() && WaitForFrame(client, FrameKind::Live, kConnect);
    }

    // The service took the client's request: the client's own busy frame
    // after 5 s without frames looks the same as the service's.
    static bool StreamingAsked() {
        return WaitForLogMessage("received: StartStreaming from: " + std::to_string(getpid()));
    }

    CameraProcess m_camera;
    ServiceOptions m_options;
    ServiceProcess m_service;
};

TEST_F(GphotoService, LiveFramesReachTheClientAtTheCameraRateWithTheirStamps) {
    CVLClient client;
    ASSERT_TRUE(StartLive(client));
    const uint64_t servedBefore = m_camera.FramesServed();
    const WatchedFrames watched = WatchUntil(client, 40, seconds(60));
    const uint64_t served = m_camera.FramesServed() - servedBefore;
    EXPECT_TRUE(watched.SequencesRise());
    EXPECT_EQ(watched.Count(FrameKind::Other), 0);
    // Frames keep coming (their rate is a benchmark's), and no frame comes
    // that the camera did not make.
    EXPECT_GE(watched.UniqueLive(), 40);
    // The watch also reads frames the camera had served before servedBefore
    // was asked: up to 3 queued in the service's sender and 3 in the client,
    // and one on its way at each hand-over (camera to service, sender to
    // client). A camera frame sent twice or a frame out of nowhere over 40
    // frames still goes far past this.
    constexpr uint64_t kQueuedBefore = 3 + 3 + 2;
    EXPECT_LE(static_cast<uint64_t>(watched.UniqueLive()), served + kQueuedBefore);

    const std::vector<std::string> log = LogMessages();
    const int opened = FindLogMessage(log, "OpenSessionCommand: session opened");
    ASSERT_GE(opened, 0);
    const int started = FindLogMessage(log, "StartEvfCommand: evf started", opened);
    EXPECT_GE(FindLogMessage(log, "property event: evf started", started), 0);
    client.StopStreaming();
    EXPECT_TRUE(WaitForLogMessage("CloseSessionCommand: session closed"));
}

TEST_F(GphotoService, TheCameraGoingAwayGivesDisconnectedFramesUntilItComesBack) {
    CVLClient client;
    ASSERT_TRUE(StartLive(client));
    ASSERT_TRUE(m_camera.Away());
    ASSERT_TRUE(WaitForFrame(client, FrameKind::Disconnected, kConnect));
    EXPECT_TRUE(WaitForLogMessage("ZelError: ZEL_ERR_DEVICE_NOT_FOUND"));
    EXPECT_TRUE(WaitForLogMessage("state event: camera disconnected"));
    // Reconnects fail while it is away, and the frames stay disconnected.
    ASSERT_TRUE(WaitForLogMessage("attempting camera reconnect"));
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Disconnected, kConnect));

    ASSERT_TRUE(m_camera.Back());
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live, kConnect));
    client.StopStreaming();
}

TEST_F(GphotoService, AnotherProgramHoldingTheCameraGivesBusyFramesUntilItLetsGo) {
    // gphoto2 itself holds the session, as a desktop program would.
    pid_t holder = -1;
    std::string program = "gphoto2";
    std::string port = "--port=" + m_camera.GphotoPort();
    char camera[] = "--camera=PTP/IP Camera", wait[] = "--wait-event=120s", quiet[] = "--quiet";
    char* argv[] = {program.data(), port.data(), camera, wait, quiet, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ASSERT_EQ(posix_spawnp(&holder, "gphoto2", &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // The service is the second host only once the holder is in.
    ASSERT_TRUE(WaitFor([&] { return m_camera.SessionHeld(); }, kConnect));

    ASSERT_TRUE(m_service.Start(m_options));
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(StreamingAsked());
    const bool busy = WaitForFrame(client, FrameKind::Busy, kConnect);
    EXPECT_TRUE(busy);
    EXPECT_TRUE(WaitForLogMessage("ZelError: ZEL_ERR_COMM_PORT_IS_IN_USE"));

    KillAndReap(holder);
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live, kConnect));
    client.StopStreaming();
}

TEST_F(GphotoService, NoCameraDetectedOrNamedGivesDisconnectedFrames) {
    // No USB camera on this machine, and no network camera named.
    unsetenv("CVL_GPHOTO2_PORT");
    ASSERT_TRUE(m_service.Start(m_options));
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(StreamingAsked());
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Disconnected, kConnect));
    EXPECT_TRUE(WaitForLogMessage("ZelError: ZEL_ERR_DEVICE_NOT_FOUND"));
    EXPECT_TRUE(WaitForLogMessage("unable to initialize camera connection"));
    client.StopStreaming();
}

TEST_F(GphotoService, SigtermWhileStreamingStopsInOrderAndFreesTheCamera) {
    CVLClient client;
    ASSERT_TRUE(StartLive(client));
    m_service.Terminate();
    EXPECT_EQ(m_service.WaitForExit(seconds(20)), 0);
    const std::vector<std::string> log = LogMessages();
    int at = 0;
    for (const char* line : {"terminating cvl service..", "CloseSessionCommand: session closed",
                             "camera controller stopped", "command processor stopped",
                             "zelsdk uninitialized", "cvl service done"}) {
        const int found = FindLogMessage(log, line, at);
        EXPECT_GE(found, at) << line << " missing or out of order";
        at = found < 0 ? at : found;
    }

    // The session was given back.
    EXPECT_TRUE(WaitFor([&] { return !m_camera.SessionHeld(); }));
}

} // namespace
} // namespace cvl::test
