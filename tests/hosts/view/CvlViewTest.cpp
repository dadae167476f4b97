// The cvl-view program as scripts run it: against sandbox frame files that
// the test writes with the simulator's stamps, and with no service at all.
#include "CVLPaths.h"
#include "FrameTransport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace cvl::test;
using Bytes = std::vector<unsigned char>;

int64_t MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// A JPEG-like frame: SOI, the simulator's comment, filler, EOI.
Bytes StampedFrame(uint64_t sequence) {
    const std::string comment =
        "zelsim seq=" + std::to_string(sequence) + " t=" + std::to_string(MonotonicNs());
    Bytes frame = {0xFF, 0xD8, 0xFF, 0xFE, 0, static_cast<unsigned char>(comment.size() + 2)};
    frame.insert(frame.end(), comment.begin(), comment.end());
    frame.insert(frame.end(), 200, 0x55);
    frame.insert(frame.end(), {0xFF, 0xD9});
    return frame;
}

// The number after "key": in the JSON text; -1 when it is missing or null.
double JsonNumber(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos)
        return -1;
    const std::string rest = json.substr(at + key.size() + 3);
    if (rest.rfind("null", 0) == 0)
        return -1;
    return std::stod(rest);
}

std::string LastLine(const std::string& text) {
    const std::vector<std::string> lines = SplitLines(text);
    return lines.empty() ? "" : lines.back();
}

TEST(CvlView, SandboxRunCountsFramesGapsAndLatencyAndWritesItsFiles) {
    // The writer skips every eighth sequence number: lost frames, one among
    // any ten that the viewer sees however late it starts.
    std::atomic<bool> writing{true};
    std::atomic<uint64_t> lastWritten{0};
    std::thread writer([&] {
        int32_t number = 0;
        for (uint64_t sequence = 1; writing; ++sequence) {
            if (sequence % 8 == 2)
                continue;
            const Bytes frame = StampedFrame(sequence);
            WriteSandboxFrameFile(number % kSandboxSlotCount, number, frame.data(),
                                  static_cast<int32_t>(frame.size()));
            ++number;
            lastWritten = sequence;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const std::string folder = MakeFolder("view");
    std::string output;
    const int status = RunCommand(ShellQuote(Program("cvl-view")) +
                                      " --mode sandbox --seconds 2 --rate 40 --json --json-file " +
                                      ShellQuote(folder + "/summary.json") + " --out " +
                                      ShellQuote(folder + "/stream.mjpeg") + " --snapshot " +
                                      ShellQuote(folder + "/snapshot.jpg"),
                                  &output);
    writing = false;
    writer.join();
    ASSERT_EQ(status, 0) << output;

    const std::string json = LastLine(output);
    std::string saved;
    ASSERT_TRUE(ReadFile(folder + "/summary.json", saved));
    EXPECT_EQ(saved, json + "\n");
    // Per-second lines before the summary.
    EXPECT_EQ(output.rfind("1 s: ", 0), 0u) << output;
    EXPECT_NE(output.find("\n2 s: "), std::string::npos) << output;

    const double calls = JsonNumber(json, "calls");
    const double unique = JsonNumber(json, "unique");
    EXPECT_GE(calls, 20) << json;
    EXPECT_GE(unique, 10) << json;
    EXPECT_LE(unique, JsonNumber(json, "live"));
    EXPECT_EQ(JsonNumber(json, "calls"), JsonNumber(json, "live") + JsonNumber(json, "error") +
                                             JsonNumber(json, "busy") +
                                             JsonNumber(json, "disconnected"));
    EXPECT_EQ(JsonNumber(json, "error"), 0) << json;
    EXPECT_EQ(JsonNumber(json, "busy"), 0) << json;
    EXPECT_GE(JsonNumber(json, "seq_gaps"), 1) << json;
    EXPECT_GE(JsonNumber(json, "p50"), 0) << json;
    EXPECT_GE(JsonNumber(json, "p99"), JsonNumber(json, "p50"));
    EXPECT_GE(JsonNumber(json, "first_seq"), 1);
    EXPECT_GT(JsonNumber(json, "last_seq"), JsonNumber(json, "first_seq"));
    // fps is rounded to 0.01, seconds to 0.001: the bound allows for both.
    const double seconds = JsonNumber(json, "seconds");
    EXPECT_NEAR(JsonNumber(json, "fps"), unique / seconds,
                0.005 + 0.0005 * unique / (seconds * seconds) + 1e-9);

    // The Motion-JPEG file is the live frames one after another; the snapshot
    // is the last of them.
    std::string stream;
    std::string snapshot;
    ASSERT_TRUE(ReadFile(folder + "/stream.mjpeg", stream));
    ASSERT_TRUE(ReadFile(folder + "/snapshot.jpg", snapshot));
    ASSERT_GE(snapshot.size(), 4u);
    EXPECT_EQ(snapshot.substr(0, 2), "\xFF\xD8");
    EXPECT_NE(snapshot.find("zelsim seq=" +
                            std::to_string(static_cast<uint64_t>(JsonNumber(json, "last_seq"))) +
                            " "),
              std::string::npos);
    size_t frames = 0;
    for (size_t at = stream.find("\xFF\xD8\xFF\xFE"); at != std::string::npos;
         at = stream.find("\xFF\xD8\xFF\xFE", at + 1))
        ++frames;
    EXPECT_EQ(stream.rfind("\xFF\xD8", 0), 0u);
    EXPECT_EQ(frames, static_cast<size_t>(JsonNumber(json, "live")));
    EXPECT_EQ(stream.compare(stream.size() - snapshot.size(), snapshot.size(), snapshot), 0);
}

TEST(CvlView, WithoutServiceEveryCallIsTheErrorFrame) {
    std::string output;
    ASSERT_EQ(
        RunCommand(ShellQuote(Program("cvl-view")) + " --seconds 0.5 --rate 20 --json --quiet",
                   &output),
        0);
    const std::vector<std::string> lines = SplitLines(output);
    ASSERT_EQ(lines.size(), 1u) << output; // --quiet: the summary only
    const std::string& json = lines[0];
    EXPECT_GE(JsonNumber(json, "calls"), 5);
    EXPECT_EQ(JsonNumber(json, "error"), JsonNumber(json, "calls"));
    EXPECT_EQ(JsonNumber(json, "unique"), 0);
    EXPECT_NE(json.find("\"latency_ms\":null"), std::string::npos);
    EXPECT_NE(json.find("\"first_seq\":null"), std::string::npos);
}

TEST(CvlView, RefusesBadOptionsWithUsage) {
    std::string output;
    EXPECT_EQ(RunCommand(ShellQuote(Program("cvl-view")) + " --rate 0 2>&1", &output), 2);
    EXPECT_NE(output.find("usage: cvl-view"), std::string::npos);
    output.clear();
    EXPECT_EQ(RunCommand(ShellQuote(Program("cvl-view")) + " --help", &output), 0);
    EXPECT_NE(output.find("--json-file FILE"), std::string::npos);
}

} // namespace
