#include "cvlhost/FrameStamp.h"
#include "cvlhost/FrameStats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace cvl::host;
using Bytes = std::vector<uint8_t>;
// SOI, an APP0 segment, the comment, a quantisation table header, SOS.
Bytes StampedJpeg(const std::string& comment) {
    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 'J', 'F', 'I', 'F'};
    const size_t length = comment.size() + 2;
    jpeg.insert(jpeg.end(), {0xFF, 0xFE, static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length & 0xFF)});
    jpeg.insert(jpeg.end(), comment.begin(), comment.end());
    jpeg.insert(jpeg.end(),
                {0xFF, 0xDB, 0x00, 0x03, 0x00, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0x34, 0xFF, 0xD9});
    return jpeg;
}

TEST(FrameStamp, ReadsTheSimulatorsCommentAndNothingElse) {
    FrameStamp stamp;
    const Bytes jpeg = StampedJpeg("zelsim seq=17 t=123456789012");
    ASSERT_TRUE(ReadFrameStamp(jpeg.data(), jpeg.size(), stamp));
    EXPECT_EQ(stamp.sequence, 17u);
    EXPECT_EQ(stamp.monotonicNs, 123456789012);

    for (const char* bad :
         {"zelsim seq=17", "zelsim t=5", "seq=x t=5", "seq=-1 t=5", "seq=1 t=99999999999999999999",
          // 19 digits, above the largest signed 64-bit time
          "seq=1 t=9223372036854775808", ""})
        EXPECT_FALSE(ReadFrameStamp(StampedJpeg(bad).data(), StampedJpeg(bad).size(), stamp))
            << bad;
    // Every truncation is refused or read within its bytes (the sanitizers
    // watch the reads); none but the whole header yields the stamp.
    for (size_t size = 0; size < jpeg.size(); ++size) {
        Bytes prefix(jpeg.begin(), jpeg.begin() + static_cast<long>(size));
        FrameStamp partial;
        const bool found = ReadFrameStamp(prefix.data(), prefix.size(), partial);
        EXPECT_EQ(found, size >= 14 + 28) << size;
    }
    // A comment after the start of the scan is image data, not a stamp.
    Bytes late = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xFE, 0x00, 0x0A,
                  's',  'e',  'q',  '=',  '1',  ' ',  't',  '=',  '2'};
    EXPECT_FALSE(ReadFrameStamp(late.data(), late.size(), stamp));
    EXPECT_FALSE(ReadFrameStamp(nullptr, 10, stamp));
}

TEST(FrameStats, CountsKindsGapsAndPercentiles) {
    FrameStats stats;
    stats.RecordStatus(FrameKind::Error);
    stats.RecordStatus(FrameKind::Busy);
    stats.RecordStatus(FrameKind::Disconnected);
    FrameStamp stamp;
    const int64_t ms = 1000000;
    for (uint64_t seq : {5u, 6u, 9u}) { // two lost between 6 and 9
        stamp.sequence = seq;
        stamp.monotonicNs = 1000 * ms;
        stats.RecordLive(true, &stamp, 1000 * ms + static_cast<int64_t>(seq) * ms);
    }
    stats.RecordLive(false, &stamp, 2000 * ms); // a repeat: no latency, no gap
    stamp.sequence = 1;                         // a new stream: no gap
    stats.RecordLive(true, &stamp, 1000 * ms + 10 * ms);
    EXPECT_EQ(stats.SequenceGaps(), 2);
    EXPECT_EQ(stats.TakeSecondLine(1), "1 s: 8 calls, 4 unique, 1 error, 1 busy, 1 disconnected, "
                                       "2 seq gaps, latency p50 6.0 ms, max 10.0 ms");
    EXPECT_FALSE(stats.SecondHasCalls());
    EXPECT_EQ(stats.SummaryJson(2.0),
              "{\"calls\":8,\"live\":5,\"unique\":4,\"fps\":2.00,"
              "\"status\":{\"error\":1,\"busy\":1,\"disconnected\":1},"
              "\"latency_ms\":{\"p50\":6.000,\"p95\":10.000,\"p99\":10.000,\"max\":10.000},"
              "\"first_seq\":5,\"last_seq\":1,\"seq_gaps\":2,\"seconds\":2.000}");

    EXPECT_EQ(FrameStats().SummaryJson(1.0),
              "{\"calls\":0,\"live\":0,\"unique\":0,\"fps\":0.00,"
              "\"status\":{\"error\":0,\"busy\":0,\"disconnected\":0},\"latency_ms\":null,"
              "\"first_seq\":null,\"last_seq\":null,\"seq_gaps\":0,\"seconds\":1.000}");
    std::vector<double> values;
    for (int i = 1; i <= 100; ++i)
        values.push_back(i);
    EXPECT_EQ(FrameStats::Percentile(values, 50), 50);
    EXPECT_EQ(FrameStats::Percentile(values, 95), 95);
    EXPECT_EQ(FrameStats::Percentile(values, 99), 99);
    EXPECT_EQ(FrameStats::Percentile(values, 100), 100);
    EXPECT_EQ(FrameStats::Percentile({}, 50), 0);
}

} // namespace
