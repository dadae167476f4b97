#include "CVLClient.h"

#include "CVLPaths.h"
#include "ClientTestSupport.h"
#include "FrameTransport.h"
#include "PortTestSupport.h"
#include "SuccessReply.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace cvl::test;

using RequestPort = RecordingRequestPort;

std::string Pid() {
    return std::to_string(getpid());
}

// The payload of a request: "<pid>_<command>" and its NUL.
std::string Request(const std::string& command) {
    return Pid() + "_" + command + std::string(1, '\0');
}

bool PortServed(const std::string& name) {
    return SendFrameTo(name, BuildFrameMessage(nullptr, 0));
}

TEST(CVLClient, SendsEachCommandAsPidUnderscoreCommandAndNul) {
    RequestPort service;
    ASSERT_TRUE(service.Serving());
    CVLClient client;
    EXPECT_TRUE(client.SendRequest("StartStreaming"));
    client.StartStreamingSandboxMode();
    client.StopStreamingSandboxMode();
    client.CloseService();
    client.ReportLogMsg("plugin fps: 25");
    client.SandboxTest();
    EXPECT_FALSE(client.EnableSandboxMode()); // the service answered

    const std::vector<std::string> expected = {
        Request("StartStreaming"), Request("StartStreamingSandboxMode"),
        Request("StopStreaming"),  Request("Close"),
        Request("plugin fps: 25"), Request("SandboxTest")};
    EXPECT_EQ(service.Payloads(), expected);
    EXPECT_EQ(service.Payloads()[0].size(), Pid().size() + 1 + 14 + 1);
}

TEST(CVLClient, PortModeStartsTheReceiverOnItsPidPortAndStopsItAfterTheRequest) {
    RequestPort service;
    CVLClient client;
    const std::string portName = std::string(CVL_SERVICE_IDENTIFIER) + ".Frame." + Pid();
    CFStringRef name = client.GetPortAddress();
    char text[128] = {};
    CFStringGetCString(name, text, sizeof text, kCFStringEncodingMacRoman);
    CFRelease(name);
    EXPECT_EQ(std::string(text), portName);
    EXPECT_FALSE(PortServed(portName)); // construction starts nothing

    client.StartStreaming();
    EXPECT_EQ(service.Payloads(), std::vector<std::string>{Request("StartStreaming")});
    ASSERT_TRUE(PortServed(portName)); // the port exists once the request is sent
    ASSERT_TRUE(SendFrameTo(portName, BuildFrameMessage(NumberedFrame(3).data(), 200)));
    std::unique_ptr<EvfFrame> empty(client.GetFrame());
    EXPECT_EQ(empty->GetBufSize(), 0);
    EXPECT_EQ(BytesOf(std::unique_ptr<EvfFrame>(client.GetFrame())), NumberedFrame(3));

    client.StopStreaming();
    EXPECT_EQ(service.Payloads().back(), Request("StopStreaming"));
    EXPECT_FALSE(PortServed(portName));
    EXPECT_EQ(BytesOf(std::unique_ptr<EvfFrame>(client.GetFrame())), ErrorFrame());
}

TEST(CVLClient, WithoutServiceRequestsFailAndSandboxTestSwitchesToSandboxMode) {
    CVLClient client;
    EXPECT_FALSE(client.SendRequest("StartStreaming"));
    client.StartStreaming(); // the receiver runs anyway: status frames
    EXPECT_EQ(BytesOf(std::unique_ptr<EvfFrame>(client.GetFrame())), ErrorFrame());
    client.StopStreaming();
    client.SandboxTest();
    EXPECT_TRUE(client.EnableSandboxMode());
}

TEST(CVLClient, SandboxModeStartsAndStopsNothingAndSendsNoFrameRateReport) {
    RequestPort service;
    CVLClient client;
    client.EnableSandboxMode(true);
    client.StartStreaming();
    client.StopStreaming();
    EXPECT_FALSE(PortServed(FramePortName(Pid())));
    EXPECT_TRUE(service.Payloads().empty());

    // Frames from the files, and no report however long the stream runs.
    ASSERT_TRUE(WriteSandboxFrameFile(0, 0, NumberedFrame(0).data(), 200));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(BytesOf(std::unique_ptr<EvfFrame>(client.GetFrame())), NumberedFrame(0));
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1100)) {
        // slot 1 is missing: the disconnected frame at once
        EXPECT_EQ(BytesOf(std::unique_ptr<EvfFrame>(client.GetFrame())), DisconnectedFrame());
        usleep(20000);
    }
    EXPECT_TRUE(service.Payloads().empty());
}

TEST(CVLClient, ReportsDistinctFramesPerIntervalOfMoreThanASecond) {
    RequestPort service;
    // The report clock runs from construction: the first report comes with
    // the first GetFrame after more than 1000 ms. The five frames must all
    // fall before it for the count to be known; a run where the machine
    // took most of that second for them is tried again with a new client.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const size_t before = service.Payloads().size();
        const auto start = std::chrono::steady_clock::now();
        CVLClient client;
        client.StartStreaming();
        const std::string portName = FramePortName(Pid());
        ASSERT_TRUE(WaitFor([&] { return PortServed(portName); }));
        for (int n = 1; n <= 5; ++n) {
            ASSERT_TRUE(SendFrameTo(portName, BuildFrameMessage(NumberedFrame(n).data(), 200)));
            EXPECT_EQ(BytesOf(std::unique_ptr<EvfFrame>(client.GetFrame())).size(),
                      n == 1 ? 0u : 200u);
        }
        // Only the StartStreaming so far.
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(800) ||
            service.Payloads().size() != before + 1) {
            client.StopStreaming();
            std::printf("attempt %d: the frames took most of the report's second; again\n",
                        attempt + 1);
            continue;
        }
        ASSERT_TRUE(WaitFor(
            [&] {
                std::unique_ptr<EvfFrame> frame(client.GetFrame());
                return service.Payloads().size() == before + 2;
            },
            std::chrono::seconds(5)));
        EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
        // The empty frame and the five numbered ones, the last repeated: 6.
        EXPECT_EQ(service.Payloads()[before + 1], Request("plugin fps: 6"));
        // The lone newest frame, repeated by the call that reported, counts
        // again in the new interval.
        EXPECT_EQ(client.GetNumUniqueFramesRcvd(), 1);
        client.StopStreaming();
        return;
    }
    FAIL() << "no attempt sent its five frames within 800 ms";
}

// Sandbox reading: the ring, torn and stale files, missing files and resets.
class SandboxReading : public testing::Test {
protected:
    void SetUp() override { client.EnableSandboxMode(true); }
    static void Write(int slot, int32_t number, size_t size = 200) {
        ASSERT_TRUE(WriteSandboxFrameFile(slot, number, NumberedFrame(number, size).data(),
                                          static_cast<int32_t>(size)));
    }
    Bytes Read() { return BytesOf(std::unique_ptr<EvfFrame>(client.GetFrame())); }
    CVLClient client;
};

TEST_F(SandboxReading, FollowsTheWriterAcrossTheRingAndStartsOverAfterATimeOut) {
    Write(0, 0);
    EXPECT_EQ(FrameNumber(Read()), 0);
    // The writer went on round the ring while the reader waited.
    Write(1, 1);
    Write(2, 2);
    Write(0, 3);
    EXPECT_EQ(FrameNumber(Read()), 1);
    EXPECT_EQ(FrameNumber(Read()), 2);
    EXPECT_EQ(FrameNumber(Read()), 3);
    // Slot 1 still holds number 1: no duplicate, and after the attempts run
    // out the disconnected frame.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(), DisconnectedFrame());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    // Reset: slot 0 again, any number from 0 up.
    EXPECT_EQ(FrameNumber(Read()), 3);
}

TEST_F(SandboxReading, RefusesTornAndShortFilesAndAcceptsOneOfExactly100Bytes) {
    Bytes frame = NumberedFrame(4);
    unsigned char marker[kSandboxMarkerSize] = {1, 2,  3,  4,  5,  6,  7,  8,
                                                9, 10, 11, 12, 13, 14, 15, 16};
    Bytes torn = BuildSandboxRecord(marker, 4, frame.data(), 200);
    torn.back() ^= 0xFF;
    const std::string slot0 = SandboxFramePath(0);
    ASSERT_TRUE(WriteFile(slot0, std::string(torn.begin(), torn.end())));
    EXPECT_EQ(Read(), DisconnectedFrame());

    Write(0, 5, 63); // 99 bytes: too short
    EXPECT_EQ(Read(), DisconnectedFrame());
    Write(0, 6, 64); // exactly 100 bytes
    EXPECT_EQ(Read(), NumberedFrame(6, 64));
}

TEST_F(SandboxReading, AMissingFileGivesTheDisconnectedFrameAtOnce) {
    // A read that waited for the file would sleep through its attempts, 990 ms
    // at the least: five such reads take 4.95 s, five at once far less even
    // on a loaded machine.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Read(), DisconnectedFrame());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
    // State unchanged: the first frame to appear in slot 0 is taken.
    Write(0, 0);
    EXPECT_EQ(FrameNumber(Read()), 0);
    // Slot 1 missing now.
    EXPECT_EQ(Read(), DisconnectedFrame());
    Write(1, 1);
    EXPECT_EQ(FrameNumber(Read()), 1);
}

TEST_F(SandboxReading, ResetAndStopStreamingStartOverAtSlotZero) {
    Write(0, 0);
    Write(1, 1);
    EXPECT_EQ(FrameNumber(Read()), 0);
    client.ResetSandboxMode();
    EXPECT_TRUE(client.EnableSandboxMode());
    EXPECT_EQ(FrameNumber(Read()), 0);
    EXPECT_EQ(FrameNumber(Read()), 1);
    client.StopStreaming();
    EXPECT_EQ(FrameNumber(Read()), 0);
}

// A file rewritten in place while the reader holds it open is seen anew.
TEST_F(SandboxReading, SeesAFileRewrittenInPlace) {
    Write(0, 0);
    Write(1, 1);
    Write(2, 2);
    for (int32_t number = 0; number < 3; ++number)
        EXPECT_EQ(FrameNumber(Read()), number);
    Write(0, 3, 300);
    EXPECT_EQ(Read(), NumberedFrame(3, 300));
}

TEST(CVLClient, DestroyingAClientWhoseReceiverRunsStopsIt) {
    const std::string portName = FramePortName(Pid());
    {
        CVLClient client;
        client.StartStreaming(); // no service: the receiver runs anyway
        ASSERT_TRUE(WaitFor([&] { return PortServed(portName); }));
    }
    EXPECT_FALSE(PortServed(portName));
    EXPECT_EQ(g_pFrameReceiver, nullptr);
}

} // namespace
