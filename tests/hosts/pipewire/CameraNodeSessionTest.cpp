// cvl-camera through hours on a real body, in short form: the service with
// the libgphoto2 build of the SDK streams from the PTP/IP test camera to the
// camera node while live view ends by itself every few seconds, the camera
// answers "Device Busy" for a while and is switched off and on. An MJPG
// consumer of the node gets new live frames after each without a restart of
// anything, a "no camera" picture only while the camera is off, and no live
// picture frozen for longer than the hosts allow.
#include "CameraProcess.h"
#include "LiveGaps.h"
#include "NodeConsumer.h"
#include "NodeProcess.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace {

using namespace cvl::test;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

// Longer than the hosts show a frozen live picture (2 s), which the bound on
// the frozen picture tells from the whole burst.
constexpr int kBusySeconds = 5;
constexpr milliseconds kFrozen(3500);
constexpr seconds kConnect(60);

// The node's pictures from index from on, as the gaps between new live frames.
LiveGaps GapsOf(const std::vector<Consumed>& frames, size_t from) {
    LiveGaps gaps;
    for (size_t i = from; i < frames.size(); ++i) {
        if (frames[i].stamped)
            gaps.Live(frames[i].sequence, frames[i].at);
        else
            gaps.Status(frames[i].at);
    }
    return gaps;
}

size_t NoCameraPictures(const std::vector<Consumed>& frames, size_t from) {
    size_t count = 0;
    for (size_t i = from; i < frames.size(); ++i)
        count += frames[i].shown == Shown::NoCamera;
    return count;
}

// A new live frame came at or after `from`.
bool LiveAfter(NodeConsumer& consumer, Clock::time_point from, milliseconds timeout) {
    return consumer.WaitFor(
        [from](const std::vector<Consumed>& frames) {
            return !frames.empty() && frames.back().stamped && frames.back().at >= from;
        },
        timeout);
}

class CameraNodeSession : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(StageInstallation(InstallRoot()));
        ASSERT_TRUE(m_ptpip.Start(25));
        ServiceOptions options;
        options.zelsdkLibrary = GphotoLibrary();
        options.zelsdkCompanions = {GphotoHelper()};
        ASSERT_TRUE(m_service.Start(options));
        ASSERT_TRUE(m_node.Start());
    }

    void TearDown() override {
        if (m_consumer)
            m_consumer->Stop();
        m_consumer.reset();
    }

    CameraProcess m_ptpip;
    ServiceProcess m_service;
    NodeProcess m_node;
    std::unique_ptr<NodeConsumer> m_consumer;
};

TEST_F(CameraNodeSession, LiveViewEndsBusyBurstsAndOffOnReachTheConsumerAsShortGaps) {
    m_consumer = std::make_unique<NodeConsumer>("image/jpeg");
    NodeConsumer& consumer = *m_consumer;
    ASSERT_TRUE(consumer.Play());
    ASSERT_TRUE(LiveAfter(consumer, Clock::now(), kConnect)) << consumer.Error() << m_node.Log();

    // Live view ends every few seconds.
    size_t from = consumer.Count();
    ASSERT_TRUE(m_ptpip.LiveViewLimit(kLiveViewLimit));
    ASSERT_TRUE(m_ptpip.WaitForLiveViewEnds(kLiveViewEnds,
                                            seconds(kLiveViewLimit * (kLiveViewEnds + 1) * 4)));
    ASSERT_TRUE(m_ptpip.LiveViewLimit(0));
    ASSERT_TRUE(LiveAfter(consumer, Clock::now() + seconds(1), kConnect));
    LiveGaps gaps = GapsOf(consumer.Frames(), from);
    ReportTime("longest gap over the live-view ends", gaps.Longest());
    EXPECT_LT(gaps.Longest(), kLiveViewGap);
    EXPECT_EQ(NoCameraPictures(consumer.Frames(), from), 0u);

    // A burst of "Device Busy".
    from = consumer.Count();
    ASSERT_TRUE(m_ptpip.Fault("busy", kBusySeconds));
    const auto busyEnds = Clock::now() + seconds(kBusySeconds);
    ASSERT_TRUE(LiveAfter(consumer, busyEnds, kConnect));
    milliseconds after{};
    gaps = GapsOf(consumer.Frames(), from);
    ASSERT_TRUE(gaps.FirstLiveAfter(busyEnds, after));
    ReportTime("first live frame after the busy burst", after);
    EXPECT_LT(after, kAfterBusy);
    // The busy camera's last live picture gave way to the waiting picture.
    ReportTime("longest frozen live picture over the busy burst", gaps.LongestFrozen());
    EXPECT_LT(gaps.LongestFrozen(), kFrozen);
    EXPECT_EQ(NoCameraPictures(consumer.Frames(), from), 0u);
    EXPECT_EQ(CountLogMessages("state event: camera disconnected"), 0);

    // Off: the no-camera picture; on again: live frames.
    from = consumer.Count();
    ASSERT_TRUE(m_ptpip.Away());
    EXPECT_TRUE(consumer.WaitForShown(Shown::NoCamera, from, kConnect));
    ASSERT_TRUE(m_ptpip.Back());
    const auto back = Clock::now();
    ASSERT_TRUE(LiveAfter(consumer, back, kAfterBack + seconds(10)));
    ASSERT_TRUE(GapsOf(consumer.Frames(), from).FirstLiveAfter(back, after));
    ReportTime("first live frame after the camera was back", after);
    EXPECT_LT(after, kAfterBack);
}

} // namespace
