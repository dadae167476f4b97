// Several clients at once: one stream gets the frames, the next takes over
// when it stops or dies, and the camera keeps streaming meanwhile.
#include "CVLClient.h"
#include "FrameWatch.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace cvl::test {
namespace {

std::string SenderLine(pid_t pid, const char* what) {
    return "frame sender " + std::to_string(pid) + " " + what;
}

TEST(Clients, OnlyTheFirstGetsFramesAndTheSecondTakesOverWhenItStops) {
    // Forked before anything of this process starts a thread.
    ChildClient first;
    ASSERT_GT(first.Pid(), 0);
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    first.StartStreaming();
    ASSERT_TRUE(WaitFor([&] { return first.LiveFrames() > 10; }));

    CVLClient second;
    second.StartStreaming();
    ASSERT_TRUE(WaitForLogMessage(SenderLine(getpid(), "started")));
    const WatchedFrames waiting = Watch(second, seconds(1));
    EXPECT_EQ(waiting.Count(FrameKind::Live), 0);
    EXPECT_EQ(waiting.Count(FrameKind::Error), static_cast<int>(waiting.kinds.size()));
    const int before = first.LiveFrames();

    first.StopStreaming();
    ASSERT_TRUE(WaitForFrame(second, FrameKind::Live));
    EXPECT_GT(before, 20);
    EXPECT_EQ(CountLogMessages("CloseSessionCommand: session closed"), 0);
    EXPECT_EQ(CountCalls("ZelOpenSession"), 1);
    EXPECT_GT(WatchUntil(second, 6).UniqueLive(), 5);

    // The last one gone: the closing commands run and the camera is idle.
    second.StopStreaming();
    ASSERT_TRUE(WaitForLogMessage("CloseSessionCommand: session closed"));
    EXPECT_NE(Zelsim("status").find("session: closed"), std::string::npos);
    Zelsim("calls --clear");
    second.StartStreaming();
    EXPECT_TRUE(WaitForFrame(second, FrameKind::Live));
    EXPECT_EQ(CountCalls("ZelOpenSession"), 1) << "the status did not return to idle";
    second.StopStreaming();
}

TEST(Clients, AKilledClientIsDroppedAtTheNextFrameAndTheOthersGoOn) {
    ChildClient killed;
    ASSERT_GT(killed.Pid(), 0);
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    killed.StartStreaming();
    ASSERT_TRUE(WaitFor([&] { return killed.LiveFrames() > 5; }));
    const pid_t killedPid = killed.Pid();

    CVLClient survivor;
    survivor.StartStreaming();
    ASSERT_TRUE(WaitForLogMessage(SenderLine(getpid(), "started")));
    killed.Kill();

    ASSERT_TRUE(WaitForFrame(survivor, FrameKind::Live));
    EXPECT_TRUE(WaitForLogMessage(SenderLine(killedPid, "destroyed")));
    EXPECT_EQ(CountLogMessages(SenderLine(killedPid, "was unable to send a frame")), 1);
    EXPECT_EQ(CountLogMessages("CloseSessionCommand: session closed"), 0);
    EXPECT_GT(WatchUntil(survivor, 6).UniqueLive(), 5);
    survivor.StopStreaming();
}

} // namespace
} // namespace cvl::test
