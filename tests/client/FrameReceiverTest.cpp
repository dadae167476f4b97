#include "FrameReceiver.h"

#include "ClientTestSupport.h"
#include "FrameTransport.h"
#include "PortTestSupport.h"
#include "SuccessReply.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using namespace cvl::test;

const std::string kPortName = FramePortName("812");

void Add(FrameReceiver& receiver, const Bytes& bytes) {
    receiver.AddFrame(bytes.data(), static_cast<int32_t>(bytes.size()));
}

Bytes Take(FrameReceiver& receiver) {
    std::unique_ptr<EvfFrame> frame(receiver.GetFrame());
    EXPECT_TRUE(frame);
    return BytesOf(frame);
}

// Hands the payload to the port callback as the run loop would and returns
// the reply's bytes.
Bytes Deliver(const Bytes& payload) {
    CFDataRef data =
        CFDataCreate(kCFAllocatorDefault, payload.data(), static_cast<CFIndex>(payload.size()));
    CFDataRef reply = FrameReceiver::Callback(nullptr, 0, data, nullptr);
    CFRelease(data);
    Bytes bytes;
    if (reply) {
        bytes.assign(CFDataGetBytePtr(reply), CFDataGetBytePtr(reply) + CFDataGetLength(reply));
        CFRelease(reply);
    }
    return bytes;
}

const Bytes kSuccess(kSuccessReply, kSuccessReply + kSuccessReplyLength);

TEST(FrameReceiver, RepeatsTheNewestFrameAndCountsEachFrameOnce) {
    FrameReceiver receiver;
    // A lone frame is repeated as an equal copy and counted once.
    Add(receiver, NumberedFrame(1));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Take(receiver), NumberedFrame(1));
    EXPECT_EQ(receiver.GetNumUniqueFramesRcvd(), 1);

    // A second frame arrives: the first leaves itself, not counted again;
    // then the second is copied and counted.
    Add(receiver, NumberedFrame(2));
    EXPECT_EQ(Take(receiver), NumberedFrame(1));
    EXPECT_EQ(receiver.GetNumUniqueFramesRcvd(), 1);
    EXPECT_EQ(Take(receiver), NumberedFrame(2));
    EXPECT_EQ(receiver.GetNumUniqueFramesRcvd(), 2);

    // A reset between two repeats of the same lone frame counts it once more.
    receiver.ResetNumUniqueFramesRcvd();
    EXPECT_EQ(receiver.GetNumUniqueFramesRcvd(), 0);
    EXPECT_EQ(Take(receiver), NumberedFrame(2));
    EXPECT_EQ(receiver.GetNumUniqueFramesRcvd(), 1);

    // Frames queued behind each other leave in order, each counted once.
    Add(receiver, NumberedFrame(3));
    Add(receiver, NumberedFrame(4));
    EXPECT_EQ(Take(receiver), NumberedFrame(2));
    EXPECT_EQ(Take(receiver), NumberedFrame(3));
    EXPECT_EQ(Take(receiver), NumberedFrame(4));
    EXPECT_EQ(Take(receiver), NumberedFrame(4));
    EXPECT_EQ(receiver.GetNumUniqueFramesRcvd(), 3);
}

TEST(FrameReceiver, QueueHoldsThreeAndRepliesSuccessToEveryMessage) {
    FrameReceiver receiver;
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(Deliver(BuildFrameMessage(NumberedFrame(n).data(), 200)), kSuccess);
    EXPECT_EQ(Take(receiver), NumberedFrame(1));
    EXPECT_EQ(Take(receiver), NumberedFrame(2));
    EXPECT_EQ(Take(receiver), NumberedFrame(3));
    EXPECT_EQ(Take(receiver), NumberedFrame(3)); // the fourth was discarded
    EXPECT_EQ(receiver.GetNumUniqueFramesRcvd(), 3);
}

TEST(FrameReceiver, MalformedMessagesAreDroppedAndEmptyFramesQueued) {
    FrameReceiver receiver;
    const Bytes frame = NumberedFrame(5, 16);
    Bytes tooLong = BuildFrameMessage(frame.data(), 16);
    tooLong.pop_back(); // claims one byte more than it carries
    Bytes negative = BuildFrameMessage(frame.data(), 16);
    negative[3] = 0x80;
    for (const Bytes& bad : {Bytes(), Bytes{1, 0, 0}, tooLong, negative})
        EXPECT_EQ(Deliver(bad), kSuccess);
    CFDataRef reply = FrameReceiver::Callback(nullptr, 0, nullptr, nullptr);
    ASSERT_TRUE(reply);
    CFRelease(reply);
    EXPECT_EQ(Take(receiver), ErrorFrame()); // nothing was queued

    // A zero length word carries an empty frame; a message with bytes beyond
    // the frame still yields just the frame.
    EXPECT_EQ(Deliver(BuildFrameMessage(nullptr, 0)), kSuccess);
    Bytes trailing = BuildFrameMessage(frame.data(), 16);
    trailing.push_back(0xEE);
    EXPECT_EQ(Deliver(trailing), kSuccess);
    std::unique_ptr<EvfFrame> empty(receiver.GetFrame());
    EXPECT_EQ(empty->GetBufSize(), 0);
    EXPECT_EQ(Take(receiver), frame);
}

TEST(FrameReceiver, FramesGoToTheReceiverConstructedLast) {
    auto first = std::make_unique<FrameReceiver>();
    auto second = std::make_unique<FrameReceiver>();
    EXPECT_EQ(g_pFrameReceiver, second.get());
    Deliver(BuildFrameMessage(NumberedFrame(7).data(), 200));
    EXPECT_EQ(Take(*second), NumberedFrame(7));
    EXPECT_EQ(Take(*first), ErrorFrame());

    // Once that receiver is gone, a message finds nobody and harms nothing.
    second.reset();
    EXPECT_EQ(g_pFrameReceiver, nullptr);
    EXPECT_EQ(Deliver(BuildFrameMessage(NumberedFrame(8).data(), 200)), kSuccess);
    EXPECT_EQ(Take(*first), ErrorFrame());
}

TEST(FrameReceiver, ServesItsPortBetweenStartAndStop) {
    FrameReceiver receiver;
    receiver.SetPortAddress(kPortName);
    CFStringRef name = receiver.GetPortAddress();
    char text[128] = {};
    ASSERT_TRUE(CFStringGetCString(name, text, sizeof text, kCFStringEncodingMacRoman));
    CFRelease(name);
    EXPECT_EQ(std::string(text), kPortName);

    receiver.Start();
    EXPECT_EQ(Take(receiver), ErrorFrame()); // nothing arrived yet
    ASSERT_TRUE(WaitFor([&] { return SendFrameTo(kPortName, BuildFrameMessage(nullptr, 0)); }));
    Bytes reply;
    const Bytes frame = NumberedFrame(9);
    ASSERT_TRUE(SendFrameTo(kPortName, BuildFrameMessage(frame.data(), 200), &reply));
    EXPECT_EQ(reply, kSuccess);
    EXPECT_EQ(Take(receiver).size(), 0u);
    EXPECT_EQ(Take(receiver), frame);

    // Stop closes the port and destroys the queued frames.
    ASSERT_TRUE(SendFrameTo(kPortName, BuildFrameMessage(frame.data(), 200)));
    receiver.Stop();
    EXPECT_FALSE(SendFrameTo(kPortName, BuildFrameMessage(frame.data(), 200)));
    EXPECT_EQ(Take(receiver), ErrorFrame());

    // A later Start serves the same name again.
    receiver.Start();
    EXPECT_TRUE(
        WaitFor([&] { return SendFrameTo(kPortName, BuildFrameMessage(frame.data(), 200)); }));
    EXPECT_EQ(Take(receiver), frame);
    receiver.Stop();
}

TEST(FrameReceiver, StartAndStopInARowNeverHangOrLeak) {
    FrameReceiver receiver;
    receiver.Stop(); // without Start
    receiver.SetPortAddress(kPortName);
    for (int i = 0; i < 500; ++i) {
        receiver.Start();
        receiver.Stop();
    }
    receiver.Stop(); // twice
    // The port is usable after all that.
    receiver.Start();
    EXPECT_TRUE(WaitFor([&] { return SendFrameTo(kPortName, BuildFrameMessage(nullptr, 0)); }));
    receiver.Stop();
    // Destroying a receiver that still runs stops its thread first.
    auto running = std::make_unique<FrameReceiver>();
    running->SetPortAddress(kPortName);
    running->Start();
    ASSERT_TRUE(WaitFor([&] { return SendFrameTo(kPortName, BuildFrameMessage(nullptr, 0)); }));
    running.reset();
    EXPECT_FALSE(SendFrameTo(kPortName, BuildFrameMessage(nullptr, 0)));
}

TEST(FrameReceiver, APortNameTakenElsewhereGivesStatusFramesOnly) {
    int received = 0;
    ServedPort other(kPortName, [&](CFDataRef) {
        ++received;
        return CreateSuccessReply();
    });
    ASSERT_TRUE(other.Serving());
    FrameReceiver receiver;
    receiver.SetPortAddress(kPortName);
    receiver.Start();
    ASSERT_TRUE(SendFrameTo(kPortName, BuildFrameMessage(NumberedFrame(1).data(), 200)));
    EXPECT_EQ(Take(receiver), ErrorFrame());
    EXPECT_EQ(received, 1);
    receiver.Stop();
}

TEST(FrameReceiver, StatusFramesFollowTheClockSinceTheLastArrival) {
    FrameReceiver receiver;
    receiver.SetPortAddress(kPortName);
    const auto started = std::chrono::steady_clock::now();
    receiver.Start();
    EXPECT_EQ(Take(receiver), ErrorFrame());
    ASSERT_NE(ErrorFrame(), BusyFrame());
    // The busy frame comes only once more than 5000 ms have passed.
    Bytes frame;
    ASSERT_TRUE(WaitFor(
        [&] {
            frame = Take(receiver);
            return frame != ErrorFrame();
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(frame, BusyFrame());
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(5000));

    // One arriving frame switches back to live frames; when it has gone, the
    // clock restarted at its arrival gives the error frame again.
    Add(receiver, NumberedFrame(1));
    Add(receiver, NumberedFrame(2));
    EXPECT_EQ(Take(receiver), NumberedFrame(1));
    receiver.Stop(); // empties the queue; the clock still counts from the arrival
    EXPECT_EQ(Take(receiver), ErrorFrame());
}

} // namespace
