// The real service against a camera whose link fails: mid-transfer drops,
// truncated and stalled answers for 20 s, and minutes of failing
// initialisations. The service comes back to live frames by its own
// reconnect, and its open descriptors stay where they were: libgphoto2 runs
// in the backend's helper process, never in the service.
#include "GphotoServiceFixture.h"

#include <chrono>
#include <thread>

namespace cvl::test {
namespace {

constexpr int kFaultSeconds = 20;

class GphotoLinkFault : public GphotoService, public ::testing::WithParamInterface<const char*> {};

TEST_P(GphotoLinkFault, LiveFramesComeBackAfterTheFaultAndTheServiceKeepsItsDescriptors) {
    CVLClient client;
    ASSERT_TRUE(StartLive(client));
    // Settled: the sender's connection and the session are in place.
    ASSERT_GE(Watch(client, seconds(1)).UniqueLive(), 1);
    const int before = OpenDescriptors(m_service.Pid());
    ASSERT_GT(before, 0);
    EXPECT_FALSE(MapsLibgphoto2(m_service.Pid()));

    ASSERT_TRUE(m_camera.Fault(GetParam(), kFaultSeconds));
    const auto faultEnds = std::chrono::steady_clock::now() + seconds(kFaultSeconds);
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Disconnected, kConnect));
    EXPECT_TRUE(WaitForLogMessage("state event: camera disconnected"));

    // Live again once the camera works, by the service's periodic reconnect.
    std::this_thread::sleep_until(faultEnds);
    ASSERT_TRUE(WaitForFrame(client, FrameKind::Live, kConnect));
    const auto back = std::chrono::steady_clock::now() - faultEnds;
    std::printf("first live frame %lld ms after the fault ended\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(back).count()));
    EXPECT_GE(Watch(client, seconds(2)).UniqueLive(), 5);

    // The client's sender lived through it, on the same connection.
    EXPECT_EQ(CountLogMessages("frame sender " + std::to_string(getpid()) +
                               " was unable to send a frame"),
              0);
    EXPECT_EQ(OpenDescriptors(m_service.Pid()), before);
    EXPECT_FALSE(MapsLibgphoto2(m_service.Pid()));
    client.StopStreaming();
}

INSTANTIATE_TEST_SUITE_P(Faults, GphotoLinkFault, ::testing::Values("drop", "truncate", "stall"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

TEST_F(GphotoService, TwoMinutesOfFailingInitialisationKeepTheServiceDescriptorsFlat) {
    // Each hostile initialisation for 40 s: a garbled device description, an
    // init acknowledgement cut short (which libgphoto2 takes, reading past
    // it), answers to other transactions. Every failed one leaves libgphoto2's
    // two PTP/IP sockets open behind it.
    const char* const faults[] = {"deviceinfo", "shortack", "transaction"};
    constexpr int kEach = 40;
    ASSERT_TRUE(m_camera.Fault(faults[0], kEach));
    auto next = std::chrono::steady_clock::now() + seconds(kEach);
    ASSERT_TRUE(m_service.Start(m_options));
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(StreamingAsked());
    ASSERT_TRUE(WaitForLogMessage("OpenSessionCommand: error", 1, kConnect));
    const int baseline = OpenDescriptors(m_service.Pid());
    ASSERT_GT(baseline, 0);

    // Sampled twice a second, for the whole two minutes.
    std::vector<int> samples = {baseline};
    for (size_t i = 1; i <= std::size(faults); ++i) {
        while (std::chrono::steady_clock::now() < next) {
            samples.push_back(OpenDescriptors(m_service.Pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        if (i < std::size(faults)) {
            ASSERT_TRUE(m_camera.Fault(faults[i], kEach));
        }
        next = std::chrono::steady_clock::now() + seconds(kEach);
    }
    const int attempts = CountLogMessages("OpenSessionCommand: error");
    const auto [lowest, highest] = std::minmax_element(samples.begin(), samples.end());
    // The first and the last 20 s.
    constexpr size_t kWindow = 40;
    ASSERT_GT(samples.size(), 2 * kWindow);
    const int firstHighest = *std::max_element(samples.begin(), samples.begin() + kWindow);
    const int lastHighest = *std::max_element(samples.end() - kWindow, samples.end());
    std::printf("descriptors: %d to %d (%d at most in the first 20 s, %d in the last); %d failed "
                "initialisations\n",
                *lowest, *highest, firstHighest, lastHighest, attempts);
    // A new attempt every few seconds, each one failing.
    EXPECT_GE(attempts, 6);
    // Flat: the helper's socket comes and goes with the helper (two while
    // one starts), nothing more, and the end holds no more than the start.
    EXPECT_LE(*highest, *lowest + 2);
    EXPECT_LE(lastHighest, firstHighest);
    EXPECT_FALSE(MapsLibgphoto2(m_service.Pid()));

    // The camera answers again: live frames.
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live, kConnect));
    client.StopStreaming();
}

} // namespace
} // namespace cvl::test
