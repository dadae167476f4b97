// The service streaming to port-mode clients: live frames, the closing
// commands when the last client goes, and how requests are taken.
#include "CVLClient.h"
#include "FrameWatch.h"
#include "RequestSender.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace cvl::test {
namespace {

std::string Pid() {
    return std::to_string(getpid());
}

TEST(Streaming, PortClientGetsLiveFramesAndTheLastStopClosesTheSession) {
    ServiceProcess service;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(service, client));

    // About 35 a second (docs/benchmarks.md); here only that they keep coming.
    const WatchedFrames watched = WatchUntil(client, 30, seconds(60));
    EXPECT_TRUE(watched.SequencesRise());
    EXPECT_GE(watched.UniqueLive(), 30);
    EXPECT_EQ(watched.Count(FrameKind::Other), 0);

    const std::vector<std::string> log = LogMessages();
    const int received = FindLogMessage(log, "received: StartStreaming from: " + Pid());
    ASSERT_GE(received, 0);
    const int initialized = FindLogMessage(log, "camera connection initialized", received);
    const int opened = FindLogMessage(log, "OpenSessionCommand: session opened", initialized);
    const int started = FindLogMessage(log, "StartEvfCommand: evf started", opened);
    const int evf = FindLogMessage(log, "property event: evf started", started);
    EXPECT_GE(FindLogMessage(log, "starting streaming..", evf), 0);
    EXPECT_GE(FindLogMessage(log, "frame sender " + Pid() + " started", received), 0);
    EXPECT_GT(CountCalls("ZelDownloadEvfImage"), 30);
    EXPECT_EQ(CountCalls("ZelOpenSession"), 1);

    // The sender goes either with the request or, when the client's port
    // closed first, with the next frame that it fails to deliver; either way
    // the closing commands follow.
    client.StopStreaming();
    ASSERT_TRUE(WaitForLogMessage("received: StopStreaming from: " + Pid()));
    ASSERT_TRUE(WaitForLogMessage("CloseSessionCommand: session closed"));
    const std::vector<std::string> after = LogMessages();
    const int destroyed = FindLogMessage(after, "frame sender " + Pid() + " destroyed", received);
    const int evfStopped = FindLogMessage(after, "StopEvfCommand: evf stopped", destroyed);
    EXPECT_GE(FindLogMessage(after, "CloseSessionCommand: session closed", evfStopped), 0);
    EXPECT_NE(Zelsim("status").find("session: closed"), std::string::npos);
    EXPECT_NE(Zelsim("status").find("live view: off"), std::string::npos);

    // Idle again: a new request connects afresh.
    Zelsim("calls --clear");
    client.StartStreaming();
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    EXPECT_EQ(CountCalls("ZelOpenSession"), 1);
    client.StopStreaming();
}

TEST(Streaming, ASecondStartFromTheSameClientAddsNoSender) {
    ServiceProcess service;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(service, client));
    ASSERT_TRUE(client.SendRequest("StartStreaming"));
    ASSERT_TRUE(WaitForLogMessage("received: StartStreaming from: " + Pid(), 2));
    EXPECT_TRUE(WaitForLogMessage("camera connection already initialized"));
    EXPECT_EQ(CountLogMessages("frame sender " + Pid() + " started"), 1);
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    client.StopStreaming();
}

TEST(Streaming, ABurstOfRequestsIsHandledInOrderNoneLost) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    const auto sent = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(SendRequestText("burst_note " + std::to_string(i)));
    ASSERT_TRUE(WaitForLogMessage("received: note 4 from: burst"));
    const auto handled = std::chrono::steady_clock::now() - sent;
    // One request per 100 ms pass: about half a second, never all at once.
    EXPECT_GE(handled, milliseconds(350));

    const std::vector<std::string> log = LogMessages();
    int at = 0;
    for (int i = 0; i < 5; ++i) {
        at = FindLogMessage(log, "received: note " + std::to_string(i) + " from: burst", at);
        ASSERT_GE(at, 0) << "request " << i << " missing or out of order";
    }
}

TEST(Streaming, MalformedAndUnknownRequestsAreLoggedAndChangeNothing) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    // A payload of a lone NUL is no request at all.
    ASSERT_TRUE(SendRequestText(""));
    ASSERT_TRUE(SendRequestText("NoSeparator"));
    ASSERT_TRUE(SendRequestText("812_"));
    ASSERT_TRUE(SendRequestText("7_Dance"));
    ASSERT_TRUE(SendRequestText("_StartStreamingX"));
    ASSERT_TRUE(SendRequestText("8_startstreaming"));
    ASSERT_TRUE(SendRequestText(std::string("9_Start\xff\x01", 9)));
    // Control characters are written out; other bytes stay as they came.
    ASSERT_TRUE(WaitForLogMessage("received: Start\xff\\x01 from: 9"));
    EXPECT_EQ(CountLogMessages("received: NoSeparator from: NoSeparator"), 1);
    EXPECT_EQ(CountLogMessages("received: Dance from: 7"), 1);
    EXPECT_EQ(CountLogMessages("received: StartStreamingX from: "), 1);
    EXPECT_EQ(CountLogMessages("received: startstreaming from: 8"), 1);
    EXPECT_EQ(CountLogMessages("received:  from: 812"), 1);
    int received = 0;
    for (const std::string& message : LogMessages())
        received += message.rfind("received:", 0) == 0 ? 1 : 0;
    EXPECT_EQ(received, 6) << "the lone NUL was logged";
    // No sender, no camera connection, nothing of the SDK's touched.
    for (const std::string& message : LogMessages())
        EXPECT_EQ(message.find("frame sender"), std::string::npos) << message;
    EXPECT_EQ(CountCalls("ZelGetCameraList"), 0);

    // The service still serves a real client afterwards.
    CVLClient client;
    client.StartStreaming();
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    client.StopStreaming();
}

} // namespace
} // namespace cvl::test
