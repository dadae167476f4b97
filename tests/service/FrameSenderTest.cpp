#include "FrameSender.h"

#include "FrameTransport.h"
#include "PortTestSupport.h"
#include "ServiceTestLogger.h"
#include "SuccessReply.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using cvl::test::CountLogMessages;
using cvl::test::WaitFor;

Bytes Frame(int number, size_t size = 120) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(number * 31 + i);
    return bytes;
}

void Add(FrameSender& sender, const Bytes& bytes) {
    sender.AddFrame(bytes.data(), static_cast<int32_t>(bytes.size()));
}

// The threads of this process now.
int Threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::atoi(line.c_str() + 8);
    return -1;
}

// Stops the sender's worker and waits until its thread has ended, so that
// the queue can be examined undisturbed.
void StopWorker(FrameSender& sender) {
    const int running = Threads();
    sender.KeepRunning(false);
    ASSERT_TRUE(WaitFor([running] { return Threads() == running - 1; }));
}

TEST(FrameSender, QueueHoldsThreeAndCountersFollowLifeAndActivation) {
    ASSERT_EQ(FrameSender::Count(), 0);
    auto sender = std::make_unique<FrameSender>("812");
    StopWorker(*sender);
    for (int n = 0; n < 4; ++n)
        Add(*sender, Frame(n));
    for (int n = 0; n < 3; ++n) {
        std::unique_ptr<EvfFrame> frame(sender->GetFrame());
        ASSERT_TRUE(frame);
        EXPECT_EQ(Bytes(frame->GetBuf(), frame->GetBuf() + frame->GetBufSize()), Frame(n));
    }
    EXPECT_EQ(sender->GetFrame(), nullptr);
    EXPECT_FALSE(sender->SendFrame()); // empty queue: not failed
    EXPECT_FALSE(sender->GetSendFailed());

    auto other = std::make_unique<FrameSender>("813");
    EXPECT_EQ(FrameSender::Count(), 2);
    other->Activate(false); // not activated: nothing changes
    EXPECT_EQ(FrameSender::NumActivated(), 0);
    sender->Activate(true);
    EXPECT_TRUE(sender->Activated());
    EXPECT_EQ(FrameSender::NumActivated(), 1);
    other.reset();
    EXPECT_EQ(FrameSender::Count(), 1);
    EXPECT_EQ(FrameSender::NumActivated(), 1);
    sender.reset();
    EXPECT_EQ(FrameSender::Count(), 0);
    EXPECT_EQ(FrameSender::NumActivated(), 0);
    EXPECT_EQ(CountLogMessages("frame sender 812 started"), 1);
    EXPECT_EQ(CountLogMessages("frame sender 812 destroyed"), 1);
}

TEST(FrameSender, DeliversFrameMessagesInOrderToTheClientsPort) {
    std::mutex mutex;
    std::vector<Bytes> received;
    cvl::test::ServedPort port(FramePortName("812"), [&](CFDataRef data) {
        const unsigned char* bytes = nullptr;
        int32_t length = 0;
        if (ParseFrameMessage(data, &bytes, &length)) {
            std::lock_guard<std::mutex> lock(mutex);
            received.emplace_back(bytes, bytes + length);
        }
        return CreateSuccessReply();
    });
    ASSERT_TRUE(port.Serving());
    FrameSender sender("812");
    for (int n = 0; n < 6; ++n) {
        Add(sender, n == 5 ? Bytes() : Frame(n, 1000 + n));
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return received.size() == static_cast<size_t>(n + 1);
        }));
    }
    for (int n = 0; n < 5; ++n)
        EXPECT_EQ(received[n], Frame(n, 1000 + n));
    EXPECT_TRUE(received[5].empty()); // an empty frame travels as a bare length word
    EXPECT_FALSE(sender.GetSendFailed());
}

TEST(FrameSender, ClientWithoutAPortFailsOnceAndDiscardsLaterFrames) {
    FrameSender sender("404");
    Add(sender, Frame(1));
    ASSERT_TRUE(WaitFor([&] { return sender.GetSendFailed(); }));
    // Later frames are taken and discarded without another attempt or line.
    for (int n = 0; n < 3; ++n)
        Add(sender, Frame(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(CountLogMessages("frame sender 404 was unable to open the port"), 1);
    EXPECT_EQ(CountLogMessages("frame sender 404 was unable to send a frame"), 0);
}

TEST(FrameSender, ClientThatStopsAnsweringFailsAfterThatFrameWhileAddFrameNeverBlocks) {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    int calls = 0;
    cvl::test::ServedPort port(FramePortName("55"), [&](CFDataRef) -> CFDataRef {
        std::unique_lock<std::mutex> lock(mutex);
        if (++calls == 1)
            return CreateSuccessReply();
        released.wait(lock, [&] { return release; }); // stops answering
        return CreateSuccessReply();
    });
    ASSERT_TRUE(port.Serving());
    auto sender = std::make_unique<FrameSender>("55");
    Add(*sender, Frame(0));
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return calls == 1;
    }));

    const auto start = std::chrono::steady_clock::now();
    Add(*sender, Frame(1));
    auto slowest = std::chrono::steady_clock::duration::zero();
    while (!sender->GetSendFailed() &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        const auto before = std::chrono::steady_clock::now();
        Add(*sender, Frame(2));
        slowest = std::max(slowest, std::chrono::steady_clock::now() - before);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto failedAfter = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(sender->GetSendFailed());
    EXPECT_LT(failedAfter, std::chrono::seconds(4)); // about 1 s: one send, then failed
    // A call that waited for the stalled send would take its second.
    EXPECT_LT(slowest, std::chrono::milliseconds(600));
    EXPECT_EQ(CountLogMessages("frame sender 55 was unable to send a frame"), 1);

    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();
    sender.reset(); // returns once the worker's send has ended
}

TEST(FrameSender, SandboxModeWritesTheRingAndRemovesItsFiles) {
    auto sender = std::make_unique<FrameSender>("sandbox");
    sender->EnableSandboxMode(true);
    FILE* files[kSandboxSlotCount] = {nullptr, nullptr, nullptr};
    int32_t last = -1, slot = 0;
    Bytes frame;
    for (int n = 0; n < 4; ++n) {
        Add(*sender, Frame(n, 200));
        ASSERT_TRUE(WaitFor([n] { return cvl::test::FileExists(SandboxFramePath(n % 3)); }));
        ASSERT_EQ(ReadSandboxFrame(files, last, slot, frame), SandboxReadResult::Frame);
        EXPECT_EQ(last, n);
        EXPECT_EQ(slot, (n + 1) % 3);
        EXPECT_EQ(frame, Frame(n, 200));
    }
    ResetSandboxReading(files, last, slot);
    EXPECT_FALSE(sender->GetSendFailed());
    sender.reset();
    for (int k = 0; k < kSandboxSlotCount; ++k)
        EXPECT_FALSE(cvl::test::FileExists(SandboxFramePath(k)));

    // A sender not in sandbox mode leaves the files alone; one in sandbox
    // mode removes them even when it wrote none.
    ASSERT_TRUE(cvl::test::WriteFile(SandboxFramePath(1), "x"));
    { FrameSender portSender("9"); }
    EXPECT_TRUE(cvl::test::FileExists(SandboxFramePath(1)));
    {
        FrameSender idle("sandbox");
        idle.EnableSandboxMode(true);
    }
    EXPECT_FALSE(cvl::test::FileExists(SandboxFramePath(1)));
}

TEST(FrameSender, UnwritableSlotKeepsItsSlotAndNumber) {
    FrameSender sender("sandbox");
    StopWorker(sender);
    sender.EnableSandboxMode(true);
    Add(sender, Frame(0, 100));
    ASSERT_TRUE(sender.WriteFrame(0, 0));
    // Slot 1 is a folder: it cannot be opened for writing.
    cvl::test::MakeFolder("root/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/"
                          "Resources/sbFrames/sbFrame1");
    Add(sender, Frame(1, 100));
    EXPECT_FALSE(sender.WriteFrame(1, 1));
    EXPECT_EQ(sender.GetFrame(), nullptr); // that frame is gone
}

} // namespace
