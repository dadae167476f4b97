// The frame feed holds the process's stream while it is wanted, keeps it for
// the linger time after, and leaves it when that passes or at once without
// one; wanted again while it lingers, it keeps the same stream. No service
// runs: the feed holds the stream all the same (the capture waits for one).
#include "TestSupport.h"
#include "cvlhost/FrameFeed.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace cvl::host;
using cvl::test::WaitFor;
using std::chrono::milliseconds;
using std::chrono::seconds;

void CountWake(void* context) {
    ++*static_cast<std::atomic<int>*>(context);
}

bool Holds(int streams) {
    return WaitFor([&] { return SharedStream::StreamsInProcess() == streams; }, seconds(20));
}

TEST(FrameFeed, HoldsTheStreamWhileWantedAndLingersAfter) {
    std::atomic<int> wakes{0};
    FrameFeed feed(&CountWake, &wakes);
    ASSERT_TRUE(feed.Started());
    EXPECT_EQ(SharedStream::StreamsInProcess(), 0);

    // Wanted: the stream is held, and the host hears of it at once.
    feed.SetWanted(true);
    ASSERT_TRUE(Holds(1));
    EXPECT_TRUE(WaitFor([&] { return wakes > 0; }, seconds(20)));
    EXPECT_EQ(ShownKind(feed.Newest()), FrameKind::Error); // the waiting picture

    // Not wanted with a long linger: still held; wanted again, the same
    // stream goes on, and the host hears of it again.
    feed.SetWanted(false, seconds(600));
    EXPECT_EQ(SharedStream::StreamsInProcess(), 1);
    const int before = wakes;
    feed.SetWanted(true);
    EXPECT_TRUE(WaitFor([&] { return wakes > before; }, seconds(20)));
    EXPECT_EQ(SharedStream::StreamsInProcess(), 1);

    // A short linger passes: left. Without one: left at once.
    feed.SetWanted(false, milliseconds(200));
    EXPECT_TRUE(Holds(0));
    feed.SetWanted(true);
    ASSERT_TRUE(Holds(1));
    feed.SetWanted(false);
    EXPECT_TRUE(Holds(0));

    // Shut down while wanted: the stream is left, and no call comes after.
    feed.SetWanted(true);
    ASSERT_TRUE(Holds(1));
    feed.Shutdown();
    EXPECT_EQ(SharedStream::StreamsInProcess(), 0);
    const int atEnd = wakes;
    EXPECT_FALSE(WaitFor([&] { return wakes != atEnd; }, milliseconds(300)));
}

} // namespace
