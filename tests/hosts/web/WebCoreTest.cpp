// The parts of cvl-web on their own: its options, and the hub and streams
// that share the newest picture among viewers.
#include "FrameHub.h"
#include "MjpegStream.h"
#include "WebOptions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace cvl::web;
using Clock = std::chrono::steady_clock;

TEST(WebOptions, ParsesNumericAddressesAndTellsLoopbackFromTheRest) {
    struct Case {
        const char* text;
        const char* shown;
        bool loopback;
    };
    const Case good[] = {{"127.0.0.1:8080", "127.0.0.1:8080", true},
                         {"127.1.2.3:0", "127.1.2.3:0", true},
                         {"0.0.0.0:80", "0.0.0.0:80", false},
                         {"192.168.1.20:65535", "192.168.1.20:65535", false},
                         {"[::1]:8080", "[::1]:8080", true},
                         {"[::]:8080", "[::]:8080", false}};
    for (const Case& c : good) {
        ListenAddress address;
        ASSERT_TRUE(ParseListenAddress(c.text, address)) << c.text;
        EXPECT_EQ(address.Text(), c.shown);
        EXPECT_EQ(address.IsLoopback(), c.loopback) << c.text;
    }
    for (const char* bad : {"", "8080", "localhost:8080", "127.0.0.1", "127.0.0.1:", "127.0.0.1:-1",
                            "127.0.0.1:65536", "127.0.0.1:80x", "::1:8080", "[::1]8080", "[::1",
                            "[nonsense]:80", "256.1.1.1:80", "127.0.0.1: 80"}) {
        ListenAddress address;
        EXPECT_FALSE(ParseListenAddress(bad, address)) << bad;
        EXPECT_EQ(address.Text(), "127.0.0.1:8080") << "unchanged after " << bad;
    }
}

TEST(WebOptions, TakesValuesBothWaysAndRefusesWhatItDoesNotKnow) {
    WebOptions options;
    std::string error;
    ASSERT_TRUE(ParseWebOptions(
        {"--listen=0.0.0.0:9000", "--mode", "sandbox", "--rate", "50", "--start-sandbox"}, options,
        error))
        << error;
    EXPECT_EQ(options.listen.Text(), "0.0.0.0:9000");
    EXPECT_EQ(options.mode, WebOptions::Mode::Sandbox);
    EXPECT_EQ(options.rate, 50);
    EXPECT_TRUE(options.startSandbox);

    const std::vector<std::vector<std::string>> bad = {
        {"--listen"},       {"--listen", "example.org:80"}, {"--rate", "0"},  {"--rate=1001"},
        {"--mode", "pipe"}, {"--start-sandbox=yes"},        {"--port", "80"}, {"extra"}};
    for (const auto& args : bad) {
        WebOptions parsed;
        error.clear();
        EXPECT_FALSE(ParseWebOptions(args, parsed, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

// Reads one whole part of the stream, a few bytes at a time.
std::string ReadPart(MjpegStream& stream) {
    std::string part;
    char buffer[7];
    while (part.size() < 4 || part.compare(part.size() - 2, 2, "\r\n") != 0 ||
           part.find("\r\n\r\n") == std::string::npos ||
           part.size() <
               part.find("\r\n\r\n") + 4 + std::stoul(part.substr(part.find("Length: ") + 8)) + 2) {
        const ssize_t count = stream.Read(buffer, sizeof buffer);
        if (count < 0)
            return part + "<end>";
        part.append(buffer, static_cast<size_t>(count));
    }
    return part;
}

std::string Part(const std::string& jpeg) {
    return "--cvlframe\r\nContent-Type: image/jpeg\r\nContent-Length: " +
           std::to_string(jpeg.size()) + "\r\n\r\n" + jpeg + "\r\n";
}

TEST(FrameHub, ASlowViewerGetsTheNewestPictureAndNothingPilesUp) {
    FrameHub hub;
    EXPECT_EQ(hub.State(), ViewState::Waiting);
    EXPECT_EQ(hub.Newest(), nullptr);
    auto stream = std::make_unique<MjpegStream>(hub);
    EXPECT_EQ(hub.Viewers(), 1);

    // Five frames come before the viewer reads: it gets the fifth alone.
    const int64_t now = 5000000000LL;
    for (uint64_t sequence : {1, 2, 3, 5, 6}) {
        cvl::host::FrameStamp stamp{sequence, now - 10000000};
        hub.PublishLive("frame-" + std::to_string(sequence), &stamp, now);
    }
    EXPECT_EQ(ReadPart(*stream), Part("frame-6"));
    hub.PublishLive("unstamped", nullptr, now);
    EXPECT_EQ(ReadPart(*stream), Part("unstamped"));
    EXPECT_EQ(stream->PartsStarted(), 2u);

    const std::string stats = hub.StatsJson(now);
    EXPECT_NE(
        stats.find("\"state\":\"live\",\"fps\":6.0,\"latency_ms\":{\"p50\":10.0,\"max\":10.0},"
                   "\"viewers\":1,\"frames\":6,\"seq_gaps\":1,"),
        std::string::npos)
        << stats;
    // A second later the window is empty.
    EXPECT_NE(hub.StatsJson(now + 1500000000LL).find("\"fps\":0.0,\"latency_ms\":null"),
              std::string::npos);

    // Every status frame of one kind is one picture.
    const uint64_t before = hub.Newest()->serial;
    for (int i = 0; i < 3; ++i)
        hub.PublishStatus(ViewState::NoCamera, "no-camera");
    EXPECT_EQ(hub.Newest()->serial, before + 1);
    EXPECT_EQ(hub.State(), ViewState::NoCamera);
    EXPECT_EQ(ReadPart(*stream), Part("no-camera"));
    hub.PublishStatus(ViewState::CameraBusy, "busy");
    EXPECT_EQ(hub.Newest()->serial, before + 2);
    EXPECT_NE(hub.StatsJson(now).find("\"state\":\"camera busy\""), std::string::npos);

    stream.reset();
    EXPECT_EQ(hub.Viewers(), 0);
}

TEST(FrameHub, RepeatsAQuietPictureAndEndsEveryStreamWhenClosed) {
    FrameHub hub;
    hub.PublishStatus(ViewState::Waiting, "waiting");
    MjpegStream quiet(hub);
    EXPECT_EQ(ReadPart(quiet), Part("waiting"));
    // Nothing new: the same picture again after the keep-alive time.
    const auto start = Clock::now();
    EXPECT_EQ(ReadPart(quiet), Part("waiting"));
    EXPECT_GE(Clock::now() - start, MjpegStream::kKeepAlive - std::chrono::milliseconds(50));

    // A viewer waiting for the next picture ends its stream when the hub closes.
    MjpegStream waiting(hub);
    EXPECT_EQ(ReadPart(waiting), Part("waiting"));
    std::string rest;
    std::thread reader([&] {
        // A keep-alive part may come first on a slow machine.
        for (int parts = 0; parts < 20 && rest != "<end>"; ++parts)
            rest = ReadPart(waiting);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    hub.Close();
    reader.join();
    EXPECT_EQ(rest, "<end>");
    EXPECT_EQ(hub.WaitNewer(0, std::chrono::milliseconds(10)), nullptr);
    char byte;
    EXPECT_EQ(quiet.Read(&byte, 1), -1);
}

} // namespace
