// Hours on a real body in short form, through the real service: live view
// that the body ends by itself every few seconds, a burst of "Device Busy",
// and the body switched off and on. The backend starts live view again
// without a "no camera" picture, rides out the busy camera, and opens the
// camera again once it is back, with nobody asking.
#include "GphotoServiceFixture.h"
#include "LiveGaps.h"

#include <chrono>
#include <thread>

namespace cvl::test {
namespace {

using std::chrono::milliseconds;

// Shorter than the client library's own wait (5 s) before its busy picture.
constexpr int kBusySeconds = 3;

TEST_F(GphotoService, LiveViewEndsBusyBurstsAndOffOnWithoutTheUser) {
    CVLClient client;
    ASSERT_TRUE(StartLive(client));
    ASSERT_GE(WatchUntil(client, 5, kConnect).UniqueLive(), 5);

    {
        // Live view ends every few seconds.
        ClientGapWatch watch(client);
        ASSERT_TRUE(m_camera.LiveViewLimit(kLiveViewLimit));
        ASSERT_TRUE(m_camera.WaitForLiveViewEnds(
            kLiveViewEnds, seconds(kLiveViewLimit * (kLiveViewEnds + 1) * 4)));
        // Live frames after the last end.
        ASSERT_TRUE(m_camera.LiveViewLimit(0));
        const auto settled = std::chrono::steady_clock::now() + seconds(1);
        ASSERT_TRUE(watch.WaitFor(
            [settled](const LiveGaps& gaps) {
                milliseconds after{};
                return gaps.FirstLiveAfter(settled, after);
            },
            kConnect));
        const LiveGaps gaps = watch.Stop();
        ReportTime("longest gap over the live-view ends", gaps.Longest());
        EXPECT_LT(gaps.Longest(), kLiveViewGap);
        EXPECT_EQ(gaps.StatusPictures(), 0);
        // Each end started live view again in a new session of the body.
        EXPECT_GE(m_camera.Sessions(), 1u + kLiveViewEnds);
    }
    {
        // A burst of "Device Busy".
        ClientGapWatch watch(client);
        ASSERT_TRUE(m_camera.Fault("busy", kBusySeconds));
        const auto busyEnds = std::chrono::steady_clock::now() + seconds(kBusySeconds);
        ASSERT_TRUE(watch.WaitFor(
            [busyEnds](const LiveGaps& gaps) {
                milliseconds after{};
                return gaps.FirstLiveAfter(busyEnds, after);
            },
            kConnect));
        const LiveGaps gaps = watch.Stop();
        milliseconds after{};
        ASSERT_TRUE(gaps.FirstLiveAfter(busyEnds, after));
        ReportTime("first live frame after the busy burst", after);
        EXPECT_LT(after, kAfterBusy);
        EXPECT_EQ(gaps.StatusPictures(), 0);
    }
    // Neither cost the session.
    EXPECT_EQ(CountLogMessages("state event: camera disconnected"), 0);
    EXPECT_EQ(CountLogMessages("OpenSessionCommand: session opened"), 1);

    {
        // Switched off: the no-camera picture; on again: live frames, in a
        // new session.
        ClientGapWatch watch(client);
        const uint64_t sessions = m_camera.Sessions();
        ASSERT_TRUE(m_camera.Away());
        EXPECT_TRUE(WaitForLogMessage("state event: camera disconnected", 1, kConnect));
        // The service logs the disconnect while its last live frames may
        // still be on their way to the viewer; the camera comes back only
        // once the viewer shows the picture, so that a live frame seen
        // after that is one of the new session.
        ASSERT_TRUE(watch.WaitForNoCamera(kConnect));
        ASSERT_TRUE(m_camera.Back());
        const auto back = std::chrono::steady_clock::now();
        ASSERT_TRUE(watch.WaitFor(
            [back](const LiveGaps& gaps) {
                milliseconds after{};
                return gaps.FirstLiveAfter(back, after);
            },
            kAfterBack + seconds(10)));
        const LiveGaps gaps = watch.Stop();
        milliseconds after{};
        ASSERT_TRUE(gaps.FirstLiveAfter(back, after));
        ReportTime("first live frame after the camera was back", after);
        EXPECT_LT(after, kAfterBack);
        EXPECT_GT(m_camera.Sessions(), sessions);
    }
    client.StopStreaming();
}

} // namespace
} // namespace cvl::test
