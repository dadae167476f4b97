// The camera coming and going under a streaming client: status frames while
// it is absent, busy or switched off, and the periodic reconnect that brings
// live frames back without a restart.
#include "CVLClient.h"
#include "FrameWatch.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace cvl::test {
namespace {

ServiceOptions WithCamera(const std::string& camera) {
    ServiceOptions options;
    options.camera = camera;
    return options;
}

TEST(CameraState, NoCameraGivesDisconnectedFramesUntilOneIsPluggedIn) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start(WithCamera("none")));
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(WaitForFrame(client, FrameKind::Disconnected));
    EXPECT_TRUE(WaitForLogMessage("ZelError: ZEL_ERR_DEVICE_NOT_FOUND"));
    EXPECT_TRUE(WaitForLogMessage("unable to initialize camera connection"));

    // A reconnect every 3 s of quiet while the client waits.
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitForLogMessage("attempting camera reconnect", 1));
    ASSERT_TRUE(WaitForLogMessage("attempting camera reconnect", 2));
    EXPECT_GE(std::chrono::steady_clock::now() - first, milliseconds(2500));
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Disconnected));

    Zelsim("plug standard");
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    client.StopStreaming();
}

TEST(CameraState, UnplugWhileStreamingAndReplugRecovers) {
    ServiceProcess service;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(service, client));

    Zelsim("unplug");
    ASSERT_TRUE(WaitForFrame(client, FrameKind::Disconnected));
    EXPECT_TRUE(WaitForLogMessage("state event: camera disconnected"));

    Zelsim("plug standard");
    ASSERT_TRUE(WaitForLogMessage("attempting camera reconnect"));
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    EXPECT_TRUE(WaitForLogMessage("camera connection initialized", 2));
    client.StopStreaming();
}

TEST(CameraState, ABusyCameraGivesBusyFramesAndRecoversWhenReleased) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    Zelsim("busy on");
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(WaitForFrame(client, FrameKind::Busy));
    EXPECT_TRUE(WaitForLogMessage("OpenSessionCommand: error"));
    EXPECT_TRUE(WaitForLogMessage("ZelError: ZEL_ERR_COMM_PORT_IS_IN_USE"));

    Zelsim("busy off");
    ASSERT_TRUE(WaitForLogMessage("attempting camera reconnect"));
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    client.StopStreaming();
}

TEST(CameraState, AnUnusableCameraIsTreatedAsAbsent) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start(WithCamera("unusable")));
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(WaitForFrame(client, FrameKind::Disconnected));
    EXPECT_TRUE(WaitForLogMessage("ZelError: ZEL_ERR_DEVICE_NOT_FOUND"));
    EXPECT_EQ(CountCalls("ZelOpenSession"), 0);
    EXPECT_EQ(CountCalls("ZelSetPropertyEventHandler"), 0);
    client.StopStreaming();
}

TEST(CameraState, ALumidriftOpensItsLensBeforeLiveView) {
    ServiceProcess service;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(service, client, WithCamera("lumidrift")));
    const std::vector<std::string> log = LogMessages();
    const int remote = FindLogMessage(log, "StartRemoteShootingCommand: remote shooting started");
    const int lens = FindLogMessage(log, "property event: lens barrel opened", remote);
    const int evf = FindLogMessage(log, "starting evf..", lens);
    EXPECT_GE(FindLogMessage(log, "StartEvfCommand: evf started", evf), 0);
    EXPECT_EQ(CountCalls("ZelSendCommand camera=1 command=271 parameter=1"), 1);

    // The last client gone: live view off, remote shooting ended, session closed.
    client.StopStreaming();
    ASSERT_TRUE(WaitForLogMessage("CloseSessionCommand: session closed"));
    const std::vector<std::string> after = LogMessages();
    const int stopped = FindLogMessage(after, "StopEvfCommand: evf stopped");
    EXPECT_GE(FindLogMessage(after, "StopRemoteShootingCommand: remote shooting stopped", stopped),
              0);
}

TEST(CameraState, LiveViewSwitchedOffAtTheCameraLeadsToAReconnect) {
    ServiceProcess service;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(service, client));

    Zelsim("evf off");
    ASSERT_TRUE(
        WaitForLogMessage("evf was externally stopped - setting camera state to disconnected"));
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Disconnected));
    ASSERT_TRUE(WaitForLogMessage("attempting camera reconnect"));
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    client.StopStreaming();
}

TEST(CameraState, ShutdownSoonExtendsTheTimer) {
    ServiceProcess service;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(service, client));
    Zelsim("shutdown-soon");
    EXPECT_TRUE(WaitForLogMessage("state event: camera shutting down soon"));
    EXPECT_TRUE(WaitForLogMessage("ExtendShutdownTimerCommand: shutdown timer extended"));
    EXPECT_TRUE(WaitFor([] { return CountCalls("ZelSendCommand camera=1 command=1 ") == 1; }));
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    client.StopStreaming();
}

TEST(CameraState, AnInternalDownloadErrorDisconnectsAndFrameNotReadyChangesNothing) {
    ServiceProcess service;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(service, client));

    // Frame not ready: the stream goes on as if nothing happened.
    Zelsim("fail ZelDownloadEvfImage 41218 5");
    EXPECT_TRUE(WaitFor([] { return Zelsim("calls").find("-> 41218") != std::string::npos; }));
    const WatchedFrames watched = Watch(client, milliseconds(500));
    EXPECT_EQ(watched.Count(FrameKind::Disconnected), 0);
    EXPECT_EQ(CountLogMessages("ZelError: 41218"), 0);
    EXPECT_EQ(CountLogMessages("attempting camera reconnect"), 0);

    Zelsim("fail ZelDownloadEvfImage 2");
    ASSERT_TRUE(WaitForLogMessage("DownloadEvfCommand: ZEL_ERR_INTERNAL_ERROR"));
    // The next line may not be written yet when the first one is read.
    ASSERT_TRUE(WaitForLogMessage("ZelError: 2"));
    const std::vector<std::string> log = LogMessages();
    const int internal = FindLogMessage(log, "DownloadEvfCommand: ZEL_ERR_INTERNAL_ERROR");
    EXPECT_EQ(FindLogMessage(log, "ZelError: 2", internal), internal + 1);
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Disconnected));
    ASSERT_TRUE(WaitForLogMessage("attempting camera reconnect"));
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    client.StopStreaming();
}

} // namespace
} // namespace cvl::test
