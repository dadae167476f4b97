#include "FrameTimes.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

using cvl::bench::FrameTimes;

constexpr int64_t kMs = 1000000;

double Number(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::stod(json.substr(at + key.size() + 4));
}

TEST(FrameTimes, NumberedFramesTakeTheLatestSendOfTheirNumberBeforeArrival) {
    // Numbers repeat every 4 frames; frames are sent every 10 ms from 1 s on.
    const std::string log = cvl::test::MakeFolder("times") + "/sent.txt";
    {
        std::ofstream out(log);
        for (int seq = 1; seq <= 12; ++seq)
            out << seq << " " << (1000 + seq * 10) * kMs << "\n";
        out << "garbage line\n";
    }
    FrameTimes times(0);
    // Frame 6 (number 2), seen 25 ms after its send; its number was sent
    // before (frame 2) and after (frame 10): the send before arrival counts.
    times.Numbered(2, (1060 + 25) * kMs);
    // Shown again by the node: one frame.
    times.Numbered(2, (1070 + 25) * kMs);
    // Frame 11 (number 3), 5 ms after its send.
    times.Numbered(3, (1110 + 5) * kMs);
    // Number 3 arriving before any send of it cannot be matched.
    FrameTimes early(0);
    early.Numbered(3, 900 * kMs);
    ASSERT_TRUE(times.JoinSendLog(log, 4));
    ASSERT_TRUE(early.JoinSendLog(log, 4));
    const std::string summary = times.SummaryJson();
    EXPECT_EQ(Number(summary, "frames"), 2) << summary;
    EXPECT_DOUBLE_EQ(Number(summary, "p50"), 5.0) << summary;
    EXPECT_DOUBLE_EQ(Number(summary, "p99"), 25.0) << summary;
    EXPECT_EQ(Number(early.SummaryJson(), "unmatched"), 1);
    EXPECT_FALSE(times.JoinSendLog(log + ".missing", 4));
}

TEST(FrameTimes, SkipsTheFirstSecondsAndCountsRepeatsAndUnmarkedApart) {
    FrameTimes times(1000 * kMs);
    times.Stamped(1, 0, 10 * kMs); // the first frame: starts the clock, uncounted
    times.Stamped(2, 900 * kMs, 990 * kMs);
    times.Stamped(3, 1000 * kMs, 1010 * kMs);
    times.Stamped(3, 1000 * kMs, 1040 * kMs); // the same frame again
    times.Unmarked(1050 * kMs);
    times.Stamped(3, 1000 * kMs, 1060 * kMs); // after a status picture: still the same frame
    times.Stamped(4, 1100 * kMs, 1130 * kMs);
    const std::string summary = times.SummaryJson();
    EXPECT_EQ(Number(summary, "frames"), 2) << summary;
    EXPECT_EQ(Number(summary, "unmarked"), 1) << summary;
    EXPECT_DOUBLE_EQ(Number(summary, "p50"), 10.0) << summary;
    EXPECT_DOUBLE_EQ(Number(summary, "p99"), 30.0) << summary;
    // 2 frames over the counted 120 ms (1010 ms to 1130 ms).
    EXPECT_NEAR(Number(summary, "fps"), 2 / 0.12, 0.5) << summary;
}

} // namespace
