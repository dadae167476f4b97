// The parts of cvl-web on their own: its options, and the hub and streams
// that share the newest picture among viewers.
#include "FrameHub.h"
#include "MjpegStream.h"
#include "WebOptions.h"
#include "cvlhost/FrameStamp.h"

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

// Reads exactly count bytes of the stream, a few at a time.
std::string ReadExactly(MjpegStream& stream, size_t count) {
    std::string bytes;
    char buffer[5];
    while (bytes.size() < count) {
        const ssize_t got = stream.Read(buffer, std::min(sizeof buffer, count - bytes.size()));
        if (got < 0)
            break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

// An EBML element: its ID as written (with the length marker) and its
// payload, which stays empty for an element of unknown size.
struct Element {
    uint32_t id = 0;
    bool unknownSize = false;
    std::string payload;
};

size_t VintLength(uint8_t first) {
    size_t length = 1;
    for (uint8_t mask = 0x80; mask && !(first & mask); mask >>= 1)
        ++length;
    return length;
}

// Reads a number of `length` bytes at bytes[at], without its length marker
// when value is true.
uint64_t BigEndian(const std::string& bytes, size_t at, size_t length, bool value) {
    uint64_t number = 0;
    for (size_t i = 0; i < length; ++i)
        number = number << 8 | static_cast<uint8_t>(bytes[at + i]);
    if (value)
        number &= (uint64_t{1} << (7 * length)) - 1;
    return number;
}

// The next element of the stream, read as a player reads it.
Element NextElement(MjpegStream& stream) {
    Element element;
    std::string id = ReadExactly(stream, 1);
    id += ReadExactly(stream, VintLength(static_cast<uint8_t>(id[0])) - 1);
    element.id = static_cast<uint32_t>(BigEndian(id, 0, id.size(), false));
    std::string size = ReadExactly(stream, 1);
    size += ReadExactly(stream, VintLength(static_cast<uint8_t>(size[0])) - 1);
    const uint64_t length = BigEndian(size, 0, size.size(), true);
    element.unknownSize = length == (uint64_t{1} << (7 * size.size())) - 1;
    if (!element.unknownSize)
        element.payload = ReadExactly(stream, length);
    return element;
}

// The payload of a master element's first child with the ID; "<none>" without one.
std::string Child(const std::string& master, uint32_t id) {
    size_t at = 0;
    while (at < master.size()) {
        const size_t idLength = VintLength(static_cast<uint8_t>(master[at]));
        const auto childId = static_cast<uint32_t>(BigEndian(master, at, idLength, false));
        at += idLength;
        const size_t sizeLength = VintLength(static_cast<uint8_t>(master[at]));
        const uint64_t length = BigEndian(master, at, sizeLength, true);
        at += sizeLength;
        if (childId == id)
            return master.substr(at, length);
        at += length;
    }
    return "<none>";
}

uint64_t Unsigned(const std::string& payload) {
    return BigEndian(payload, 0, payload.size(), false);
}

// A JPEG's beginning up to its frame header (64x48), then a body that names it.
std::string TinyJpeg(const std::string& name) {
    return std::string("\xFF\xD8\xFF\xC0\x00\x11\x08\x00\x30\x00\x40\x03\x01\x22\x00\x02"
                       "\x11\x01\x03\x11\x01",
                       21) +
           name + "\xFF\xD9";
}

// One frame of a player's stream: its Cluster's time and its block's JPEG.
struct Block {
    uint64_t timestampMs = 0;
    std::string jpeg;
    bool wellFormed = false;
};

Block NextBlock(MjpegStream& stream) {
    Block block;
    const Element cluster = NextElement(stream);
    const std::string simple = Child(cluster.payload, 0xA3);
    block.timestampMs = Unsigned(Child(cluster.payload, 0xE7));
    // Track 1, relative time 0, a key frame.
    block.wellFormed = cluster.id == 0x1F43B675 && simple.compare(0, 4, "\x81\x00\x00\x80", 4) == 0;
    block.jpeg = simple.substr(std::min<size_t>(4, simple.size()));
    return block;
}

TEST(MjpegStream, APlayersStreamStatesItsTrackOnceAndTimesEveryFrame) {
    FrameHub hub;
    // 40 frames in the hub's last second (their arrivals ahead of the clock,
    // so that none has left the hub's second when the viewer asks): the
    // stream states their rate.
    const int64_t base = cvl::host::MonotonicNowNs() + 10000000000LL;
    for (int i = 0; i < 40; ++i)
        hub.PublishLive(TinyJpeg("frame-" + std::to_string(i)), nullptr, base + i * 25000000LL);
    MjpegStream stream(hub, MjpegStream::Wrapping::Matroska);
    EXPECT_EQ(MjpegStream::ContentType(MjpegStream::Wrapping::Matroska), "video/x-matroska");

    const Element ebml = NextElement(stream);
    EXPECT_EQ(ebml.id, 0x1A45DFA3u);
    EXPECT_EQ(Child(ebml.payload, 0x4282), "matroska");
    EXPECT_EQ(Unsigned(Child(ebml.payload, 0x4285)), 2u);
    const Element segment = NextElement(stream);
    EXPECT_EQ(segment.id, 0x18538067u);
    EXPECT_TRUE(segment.unknownSize);
    const Element info = NextElement(stream);
    EXPECT_EQ(info.id, 0x1549A966u);
    EXPECT_EQ(Unsigned(Child(info.payload, 0x2AD7B1)), 1000000u) << "milliseconds";
    const Element tracks = NextElement(stream);
    ASSERT_EQ(tracks.id, 0x1654AE6Bu);
    const std::string track = Child(tracks.payload, 0xAE);
    EXPECT_EQ(Unsigned(Child(track, 0xD7)), 1u);
    EXPECT_EQ(Unsigned(Child(track, 0x83)), 1u) << "video";
    EXPECT_EQ(Child(track, 0x86), "V_MJPEG");
    EXPECT_EQ(Unsigned(Child(track, 0x23E383)), 25000000u) << "40 frames a second";
    EXPECT_EQ(Unsigned(Child(Child(track, 0xE0), 0xB0)), 64u);
    EXPECT_EQ(Unsigned(Child(Child(track, 0xE0), 0xBA)), 48u);

    // The newest frame at time 0, then each frame by its arrival in
    // milliseconds since; frames within a millisecond still go forward.
    Block first = NextBlock(stream);
    EXPECT_TRUE(first.wellFormed);
    EXPECT_EQ(first.timestampMs, 0u);
    EXPECT_EQ(first.jpeg, TinyJpeg("frame-39"));
    const int64_t firstNs = base + 39 * 25000000LL;
    hub.PublishLive(TinyJpeg("later"), nullptr, firstNs + 1025400000LL);
    hub.PublishLive(TinyJpeg("skipped"), nullptr, firstNs + 1030000000LL);
    hub.PublishLive(TinyJpeg("newest"), nullptr, firstNs + 1040000000LL);
    Block newest = NextBlock(stream);
    EXPECT_TRUE(newest.wellFormed);
    EXPECT_EQ(newest.timestampMs, 1040u);
    EXPECT_EQ(newest.jpeg, TinyJpeg("newest"));
    hub.PublishLive(TinyJpeg("close behind"), nullptr, firstNs + 1040400000LL);
    EXPECT_EQ(NextBlock(stream).timestampMs, 1041u);
    EXPECT_EQ(stream.PartsStarted(), 3u);

    // A viewer that joins while a status picture stands: the nominal rate,
    // and the repeat a second later carries the time it was sent.
    FrameHub quiet;
    quiet.PublishStatus(ViewState::NoCamera, TinyJpeg("no camera"));
    const auto joined = Clock::now();
    MjpegStream player(quiet, MjpegStream::Wrapping::Matroska);
    for (int i = 0; i < 3; ++i)
        NextElement(player);
    const Element quietTracks = NextElement(player);
    EXPECT_EQ(Unsigned(Child(Child(quietTracks.payload, 0xAE), 0x23E383)),
              static_cast<uint64_t>(MjpegStream::kDefaultFrameNs));
    EXPECT_EQ(NextBlock(player).timestampMs, 0u);
    const Block repeat = NextBlock(player);
    const auto sinceJoined =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - joined).count();
    EXPECT_EQ(repeat.jpeg, TinyJpeg("no camera"));
    EXPECT_GE(repeat.timestampMs, 900u);
    EXPECT_LE(repeat.timestampMs, static_cast<uint64_t>(sinceJoined));
}

} // namespace
