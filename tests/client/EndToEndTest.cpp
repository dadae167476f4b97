// The client library against the service's own blocks: a request listener
// whose requests a test queue owner turns into frame senders of both kinds.
#include "CVLClient.h"

#include "CVLPaths.h"
#include "ClientTestSupport.h"
#include "RequestListener.h"
#include "ServiceTestLogger.h"
#include "TestQueueOwner.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace cvl::test;

// A service made of the blocks: the listener serves the request port and
// hands requests to the owner.
class Service {
public:
    Service() {
        m_listener = std::make_unique<RequestListener>();
        m_listener->SetCameraController(TestQueueOwner::Controller());
        // The listener's thread creates the port; clients send once only.
        EXPECT_TRUE(WaitFor([] { return RequestPortServed(); }));
    }
    ~Service() { Vanish(); }
    void Vanish() {
        m_listener.reset();
        owner.DestroySenders();
    }
    TestQueueOwner owner;

private:
    std::unique_ptr<RequestListener> m_listener;
};

std::string Pid() {
    return std::to_string(getpid());
}

Bytes Next(CVLClient& client) {
    return BytesOf(std::unique_ptr<EvfFrame>(client.GetFrame()));
}

int ReportedFrames(const std::vector<std::string>& requests, int* reports) {
    const std::string prefix = Pid() + "_plugin fps: ";
    int sum = 0;
    *reports = 0;
    for (const std::string& request : requests) {
        if (request.rfind(prefix, 0) == 0) {
            sum += std::stoi(request.substr(prefix.size()));
            ++*reports;
        }
    }
    return sum;
}

TEST(EndToEnd, PortModeDeliversEveryFrameInOrderAndCountsEachOnce) {
    Service service;
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(WaitFor([&] { return service.owner.SenderCount() == 1; }));
    EXPECT_EQ(service.owner.Requests().front(), Pid() + "_StartStreaming");
    EXPECT_EQ(Next(client), ErrorFrame()); // nothing sent yet

    constexpr int kFrames = 40;
    std::vector<int32_t> seen;
    for (int32_t n = 1; n <= kFrames; ++n) {
        ASSERT_TRUE(service.owner.SendFrame(NumberedFrame(n, 100 + 37 * static_cast<size_t>(n))));
        ASSERT_TRUE(WaitFor([&] {
            const Bytes frame = Next(client);
            if (frame == ErrorFrame())
                return false;
            seen.push_back(FrameNumber(frame));
            return seen.back() == n;
        }));
        // The newest frame is repeated while nothing newer comes.
        EXPECT_EQ(FrameNumber(Next(client)), n);
    }
    // In order, every one, nothing torn or foreign; repeats only of the last.
    int32_t last = 0;
    for (int32_t number : seen) {
        ASSERT_GE(number, 1);
        EXPECT_TRUE(number == last || number == last + 1) << number << " after " << last;
        last = number;
    }
    EXPECT_EQ(last, kFrames);

    // Each frame is counted once; only a report's reset lets the lone frame
    // it repeated count once more.
    client.StopStreaming();
    ASSERT_TRUE(WaitFor([&] { return service.owner.SenderCount() == 0; }));
    int reports = 0;
    const int reported = ReportedFrames(service.owner.Requests(), &reports);
    const int counted = reported + client.GetNumUniqueFramesRcvd();
    EXPECT_GE(counted, kFrames);
    EXPECT_LE(counted, kFrames + reports);
    EXPECT_EQ(service.owner.Requests().back(), Pid() + "_StopStreaming");
}

TEST(EndToEnd, SandboxReaderFollowsTheWriterAndNeverReturnsATornFrame) {
    Service service;
    CVLClient client;
    client.StartStreamingSandboxMode();
    client.EnableSandboxMode(true);
    ASSERT_TRUE(WaitFor([&] { return service.owner.SenderCount() == 1; }));

    // The feeder keeps the writer busy: frames of changing sizes, more than it
    // writes, so it rewrites the files while the reader reads them.
    constexpr int32_t kFrames = 150;
    std::atomic<bool> fed{false};
    std::thread feeder([&] {
        for (int32_t n = 0; n < kFrames; ++n) {
            service.owner.SendFrame(NumberedFrame(n, 100 + static_cast<size_t>(n % 7) * 9000));
            usleep(3000);
        }
        fed = true;
    });
    int32_t last = -1;
    int live = 0;
    while (!fed) {
        const Bytes frame = Next(client);
        if (frame == DisconnectedFrame()) {
            // Not written yet, or (on a badly stalled machine) a timed-out
            // read: the reader starts over and may take an older frame.
            last = -1;
            continue;
        }
        const int32_t number = FrameNumber(frame);
        ASSERT_NE(number, -1) << "a torn or foreign frame of " << frame.size() << " bytes";
        ASSERT_GT(number, last);
        last = number;
        ++live;
    }
    feeder.join();
    EXPECT_GT(live, 10);

    // The stream ends: the writer removes its files. The reader may still
    // take newer frames from the handles it holds; then its attempts run out
    // and from there on the missing files give the disconnected frame at once.
    client.StopStreamingSandboxMode();
    ASSERT_TRUE(WaitFor([&] { return service.owner.SenderCount() == 0; }));
    ASSERT_TRUE(WaitFor([&] { return Next(client) == DisconnectedFrame(); }));
    // Five reads that each slept through their attempts would take 4.95 s.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Next(client), DisconnectedFrame());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
}

TEST(EndToEnd, AVanishedServiceLeavesTheLastFrameThenStatusFrames) {
    auto service = std::make_unique<Service>();
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(WaitFor([&] { return service->owner.SenderCount() == 1; }));
    ASSERT_TRUE(service->owner.SendFrame(NumberedFrame(1)));
    ASSERT_TRUE(WaitFor([&] { return FrameNumber(Next(client)) == 1; }));

    // The service goes: the newest frame stays on screen.
    service.reset();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(FrameNumber(Next(client)), 1);
    // Stopping and starting again without a service neither hangs nor
    // fails: the error frame, as for any stream without frames yet.
    client.StopStreaming();
    EXPECT_EQ(Next(client), ErrorFrame());
    client.StartStreaming();
    EXPECT_EQ(Next(client), ErrorFrame());
    client.StopStreaming();
}

TEST(EndToEnd, AStalledSandboxWriterGivesTheDisconnectedFrameAfterItsAttempts) {
    Service service;
    CVLClient client;
    client.StartStreamingSandboxMode();
    client.EnableSandboxMode(true);
    ASSERT_TRUE(WaitFor([&] { return service.owner.SenderCount() == 1; }));
    ASSERT_TRUE(service.owner.SendFrame(NumberedFrame(1)));
    ASSERT_TRUE(WaitFor([&] { return FrameNumber(Next(client)) == 1; }));
    // The writer stalls, its file stays: slot 1 was never written, so the
    // missing file gives the disconnected frame at once; writing it then
    // resumes the stream.
    EXPECT_EQ(Next(client), DisconnectedFrame());
    ASSERT_TRUE(service.owner.SendFrame(NumberedFrame(2)));
    ASSERT_TRUE(WaitFor([&] { return FrameNumber(Next(client)) == 2; }));
    // Now every slot up to 1 exists; the writer's next slot 2 does not.
    ASSERT_TRUE(service.owner.SendFrame(NumberedFrame(3)));
    ASSERT_TRUE(WaitFor([&] { return FrameNumber(Next(client)) == 3; }));
    // All three files exist and hold old frames: a timed-out read.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Next(client), DisconnectedFrame());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    client.StopStreamingSandboxMode();
}

} // namespace
