// cvl-camera against the real stack: the service of a staged installation
// with the simulated camera, a private session (bus, PipeWire, WirePlumber),
// and real consumers: GStreamer's pipewiresrc in the test process, and ffmpeg
// through pw-v4l2.
#include "GstTestSupport.h"
#include "NodeConsumer.h"
#include "NodeProcess.h"
#include "ServiceHarness.h"
#include "StreamJoiner.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

namespace {

using namespace cvl::test;
using std::chrono::seconds;

const char kLabel[] = "Corvalink Camera";
const char kRaw[] = "video/x-raw,format=I420";
const char kMjpg[] = "image/jpeg";

bool AllOf(const std::vector<Consumed>& frames, size_t from,
           const std::function<bool(const Consumed&)>& check) {
    for (size_t i = from; i < frames.size(); ++i) {
        if (!check(frames[i]))
            return false;
    }
    return true;
}

size_t CountShown(const std::vector<Consumed>& frames, Shown shown, size_t from = 0) {
    size_t count = 0;
    for (size_t i = from; i < frames.size(); ++i)
        count += frames[i].shown == shown;
    return count;
}

std::string Describe(const std::vector<Consumed>& frames) {
    std::string text = std::to_string(frames.size()) + " pictures:";
    std::string last;
    int run = 0;
    auto flush = [&] {
        if (run)
            text += " " + last + " x" + std::to_string(run) + ";";
    };
    for (const Consumed& frame : frames) {
        const std::string now = frame.format + " " + std::to_string(frame.width) + "x" +
                                std::to_string(frame.height) + " " + ShownName(frame.shown);
        if (now != last) {
            flush();
            last = now;
            run = 0;
        }
        ++run;
    }
    flush();
    return text;
}

size_t CountOccurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Service log lines of one client's requests: "received: VERB from: PID".
int CountRequests(const std::string& verb, pid_t client) {
    return CountLogMessages("received: " + verb + " from: " + std::to_string(client));
}

class CameraNode : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StageInstallation(InstallRoot())); }

    void TearDown() override {
        for (auto& consumer : m_consumers)
            consumer->Stop();
        m_consumers.clear();
    }

    void StartSession() { ASSERT_TRUE(m_node.StartSession()); }

    void StartCamera(const std::vector<std::string>& options = {},
                     const std::vector<std::string>& environment = {}) {
        ASSERT_TRUE(m_node.StartCamera(options, environment));
    }

    // The service, the session and cvl-camera.
    void StartAll(const ServiceOptions& service = ServiceOptions(),
                  const std::vector<std::string>& cameraOptions = {}) {
        ASSERT_TRUE(m_service.Start(service));
        ASSERT_NO_FATAL_FAILURE(StartSession());
        ASSERT_NO_FATAL_FAILURE(StartCamera(cameraOptions));
    }

    NodeConsumer& Consume(const std::string& caps) {
        m_consumers.push_back(std::make_unique<NodeConsumer>(caps));
        EXPECT_TRUE(m_consumers.back()->Play());
        return *m_consumers.back();
    }

    ServiceProcess m_service;
    NodeProcess m_node;
    std::vector<std::unique_ptr<NodeConsumer>> m_consumers;
};

TEST_F(CameraNode, PublishesACameraNodeWithFixedSizesAndBrowserFrameRate) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    const std::string dump = m_node.Session().PwDump();
    for (const char* expected :
         {"\"media.class\": \"Video/Source\"", "\"media.role\": \"Camera\"",
          "\"node.description\": \"Corvalink Camera\"", "\"node.name\": \"corvalink-camera\""})
        EXPECT_NE(dump.find(expected), std::string::npos) << expected;
    // Every format at the live view's size as a fixed value (no range) and 30/1.
    EXPECT_NE(dump.find("\"mediaSubtype\": \"mjpg\""), std::string::npos);
    for (const char* format :
         {"\"format\": \"I420\"", "\"format\": \"NV12\"", "\"format\": \"YUY2\""})
        EXPECT_NE(dump.find(format), std::string::npos) << format;
    EXPECT_NE(dump.find("\"size\": { \"width\": 960, \"height\": 640 }"), std::string::npos);
    EXPECT_NE(dump.find("\"framerate\": { \"num\": 30, \"denom\": 1 }"), std::string::npos);
    EXPECT_EQ(dump.find("\"min\": { \"width\""), std::string::npos) << "a size range is offered";
}

// No consumer: the camera stays off. One: the service streams. The last one
// gone: the stream ends a few seconds later.
TEST_F(CameraNode, HoldsTheServiceStreamOnlyWhileAConsumerStreams) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    const pid_t camera = m_node.Pid();
    // The node is published and WirePlumber has seen it: nothing asked for
    // the camera yet.
    ASSERT_TRUE(m_node.Session().HasNode(kLabel));
    EXPECT_EQ(CountRequests("StartStreaming", camera), 0);

    NodeConsumer& consumer = Consume(kMjpg);
    EXPECT_TRUE(WaitForLogMessage("received: StartStreaming from: " + std::to_string(camera)));
    EXPECT_TRUE(consumer.WaitForShown(Shown::Bars)) << Describe(consumer.Frames());

    consumer.Stop();
    const auto left = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitForLogMessage("received: StopStreaming from: " + std::to_string(camera), 1,
                                  seconds(30)));
    // The default linger is 3 s; the bound allows for a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - left, seconds(15));
    EXPECT_EQ(CountRequests("StartStreaming", camera), 1);
}

// MJPG reaches the consumer as the camera's own JPEG (its stamp still in it);
// a raw consumer gets decoded pictures of the same size.
TEST_F(CameraNode, NegotiatesMjpgPassedThroughAndRawDecoded) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    {
        NodeConsumer& mjpg = Consume(kMjpg);
        ASSERT_TRUE(mjpg.WaitFor([](const std::vector<Consumed>& frames) {
            return CountShown(frames, Shown::Bars) >= 20;
        })) << Describe(mjpg.Frames())
            << mjpg.Error() << m_node.Log();
        const auto frames = mjpg.Frames();
        EXPECT_TRUE(AllOf(frames, 0, [](const Consumed& f) {
            return f.format == "MJPG" && f.width == 960 && f.height == 640;
        })) << Describe(frames);
        EXPECT_TRUE(AllOf(frames, 0, [](const Consumed& f) {
            return f.shown != Shown::Bars || f.stamped;
        })) << "a live MJPG frame was not the camera's own";
        mjpg.Stop();
    }
    for (const char* format : {"I420", "NV12", "YUY2"}) {
        NodeConsumer& raw = Consume(std::string("video/x-raw,format=") + format);
        ASSERT_TRUE(raw.WaitFor([](const std::vector<Consumed>& frames) {
            return CountShown(frames, Shown::Bars) >= 20;
        })) << format
            << ": " << Describe(raw.Frames()) << raw.Error() << m_node.Log();
        EXPECT_TRUE(AllOf(raw.Frames(), 0, [&](const Consumed& f) {
            return f.format == format && f.width == 960 && f.height == 640;
        })) << Describe(raw.Frames());
        raw.Stop();
    }
    EXPECT_EQ(CountRequests("StartStreaming", m_node.Pid()), 1)
        << "consumers that follow each other within the linger time share one stream";
}

TEST_F(CameraNode, TwoConsumersAtOnceBothGetLiveFrames) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    NodeConsumer& first = Consume(kRaw);
    ASSERT_TRUE(first.WaitForShown(Shown::Bars)) << Describe(first.Frames());
    NodeConsumer& second = Consume(kRaw);
    ASSERT_TRUE(second.WaitForShown(Shown::Bars)) << Describe(second.Frames()) << m_node.Log();
    // Both go on at once.
    const size_t firstBefore = first.Count();
    const size_t secondBefore = second.Count();
    EXPECT_TRUE(first.WaitFor([&](const std::vector<Consumed>& frames) {
        return CountShown(frames, Shown::Bars, firstBefore) >= 30;
    })) << Describe(first.Frames());
    EXPECT_TRUE(second.WaitFor([&](const std::vector<Consumed>& frames) {
        return CountShown(frames, Shown::Bars, secondBefore) >= 30;
    })) << Describe(second.Frames());
    EXPECT_EQ(CountRequests("StartStreaming", m_node.Pid()), 1);
}

// The service killed: the consumer keeps getting pictures (the waiting
// picture, at the same size), and live frames once a new service runs.
TEST_F(CameraNode, ServiceKilledAndStartedAgain) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    NodeConsumer& consumer = Consume(kRaw);
    ASSERT_TRUE(consumer.WaitForShown(Shown::Bars)) << Describe(consumer.Frames());

    kill(m_service.Pid(), SIGKILL);
    ASSERT_EQ(m_service.WaitForExit(seconds(20)), -1); // killed, not exited
    size_t mark = consumer.Count();
    ASSERT_TRUE(consumer.WaitForShown(Shown::Waiting, mark, seconds(30)))
        << Describe(consumer.Frames()) << m_node.Log();
    // Pictures keep coming while the service is away, and stay 960x640 I420.
    mark = consumer.Count();
    EXPECT_TRUE(consumer.WaitFor([&](const std::vector<Consumed>& frames) {
        return frames.size() >= mark + 10;
    })) << "the consumer stalled";

    ServiceProcess again;
    ASSERT_TRUE(again.Start());
    mark = consumer.Count();
    EXPECT_TRUE(consumer.WaitForShown(Shown::Bars, mark, seconds(40)))
        << Describe(consumer.Frames()) << m_node.Log();
    EXPECT_TRUE(AllOf(consumer.Frames(), 0, [](const Consumed& f) {
        return f.format == "I420" && f.width == 960 && f.height == 640;
    })) << Describe(consumer.Frames());
    EXPECT_EQ(m_node.Camera().Wait(std::chrono::milliseconds(0)), -1) << "cvl-camera ended";
}

// Live pictures keep coming to consumer: a few a second at least, where the
// camera sends about 30 (the bound allows for a busy machine).
void ExpectLivePicturesGoOn(NodeConsumer& consumer, const std::string& beside) {
    const size_t mark = consumer.Count();
    const auto start = std::chrono::steady_clock::now();
    const bool kept = consumer.WaitFor([&](const std::vector<Consumed>& frames) {
        return CountShown(frames, Shown::Bars, mark) >= 90;
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(kept) << "beside " << beside << ": "
                      << CountShown(consumer.Frames(), Shown::Bars, mark) << " live pictures in "
                      << seconds << " s";
    std::printf("beside %s: %.1f live pictures a second\n", beside.c_str(), 90 / seconds);
}

// Every consumer shares the node's buffers, and PipeWire hands the node only
// buffers no consumer holds: one that links and takes nothing would hold
// them all. The node takes the oldest back, and the others go on.
TEST_F(CameraNode, AStalledConsumerDoesNotStopTheOthers) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    NodeConsumer& normal = Consume(kRaw);
    ASSERT_TRUE(normal.WaitForShown(Shown::Bars)) << Describe(normal.Frames()) << m_node.Log();

    m_consumers.push_back(std::make_unique<NodeConsumer>(kRaw, true));
    NodeConsumer& stalled = *m_consumers.back();
    ASSERT_TRUE(stalled.Play());
    ASSERT_TRUE(WaitFor([&] { return stalled.SourceBuffers() > 0; }, seconds(30)));
    ExpectLivePicturesGoOn(normal, "a consumer whose sink is never read");
    EXPECT_NE(m_node.Log().find("a consumer holds every buffer"), std::string::npos)
        << m_node.Log();
    stalled.Stop();

    NodeConsumer& paused = Consume(kRaw);
    ASSERT_TRUE(paused.WaitForShown(Shown::Bars)) << Describe(paused.Frames());
    ASSERT_TRUE(paused.Pause());
    ExpectLivePicturesGoOn(normal, "a paused pipeline");
    EXPECT_EQ(CountRequests("StartStreaming", m_node.Pid()), 1);
}

// The node carries one format at a time. A consumer of another format that
// joins while one streams is turned away: PipeWire 0.3.65 would hand it the
// format in use, and the node destroys such a link before it sends another
// buffer. A program on the stream API that reads whatever it is handed gets
// no buffer of a format it did not ask for; one of the format in use still
// joins; and the one that streams keeps its pace. (GStreamer's pipewiresrc
// joiner is left out: refused before it started, it waits out its own 30 s
// start timeout and then takes most of a minute to stop.)
TEST_F(CameraNode, AConsumerOfAnotherFormatIsTurnedAwayAndDisturbsNobody) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    const std::pair<const char*, const char*> rounds[] = {{kRaw, kMjpg}, {kMjpg, kRaw}};
    for (const auto& [streams, joins] : rounds) {
        NodeConsumer& first = Consume(streams);
        ASSERT_TRUE(first.WaitForShown(Shown::Bars)) << Describe(first.Frames()) << m_node.Log();
        const size_t refusedBefore = CountOccurrences(m_node.Log(), "is refused");
        StreamJoiner joiner(joins == kMjpg);
        ASSERT_TRUE(joiner.Start());
        ASSERT_TRUE(
            WaitFor([&] { return CountOccurrences(m_node.Log(), "is refused") > refusedBefore; },
                    seconds(30)))
            << m_node.Log();
        ExpectLivePicturesGoOn(first, std::string("a consumer of ") + joins);
        EXPECT_EQ(joiner.ForeignBuffers(), 0u) << joins << " joined " << streams;
        EXPECT_TRUE(AllOf(first.Frames(), 0, [&](const Consumed& f) {
            return f.shown == Shown::Bars || f.shown == Shown::Waiting;
        })) << Describe(first.Frames());
        // Refused once: the session manager does not link it again.
        const size_t refused = CountOccurrences(m_node.Log(), "is refused") - refusedBefore;
        EXPECT_EQ(refused, 1u) << m_node.Log();
        std::printf("%s joining %s: %zu buffers, %zu foreign formats handed, %zu refusals\n", joins,
                    streams, joiner.Buffers(), joiner.ForeignFormats(), refused);

        // One of the format in use is let through.
        StreamJoiner same(streams == kMjpg);
        ASSERT_TRUE(same.Start());
        EXPECT_TRUE(WaitFor([&] { return same.Buffers() >= 10; }, seconds(30)))
            << same.Buffers() << " buffers; " << m_node.Log();
        EXPECT_EQ(same.ForeignFormats(), 0u);
        first.Stop();
    }
}

// A new service whose camera has another live-view size: the node offers the
// new size, the link takes it, and the consumer goes on with live frames of
// that size. (GStreamer's pipewiresrc of PipeWire 0.3.65 takes the new format
// but keeps its first caps downstream, so this consumer reads the frames at
// the size their length gives.)
TEST_F(CameraNode, LiveViewSizeChangeRenegotiates) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    m_consumers.push_back(
        std::make_unique<NodeConsumer>(std::vector<std::pair<int, int>>{{960, 640}, {640, 480}}));
    NodeConsumer& consumer = *m_consumers.back();
    ASSERT_TRUE(consumer.Play());
    ASSERT_TRUE(consumer.WaitForShown(Shown::Bars)) << Describe(consumer.Frames());

    m_service.Terminate();
    ASSERT_EQ(m_service.WaitForExit(seconds(30)), 0);
    ServiceOptions smaller;
    smaller.size = "640x480";
    ServiceProcess again;
    ASSERT_TRUE(again.Start(smaller));
    const auto newSizeBars = [](const Consumed& f) {
        return f.width == 640 && f.height == 480 && f.shown == Shown::Bars;
    };
    size_t mark = 0;
    EXPECT_TRUE(consumer.WaitFor(
        [&](const std::vector<Consumed>& frames) {
            for (size_t i = 0; i < frames.size(); ++i) {
                if (newSizeBars(frames[i])) {
                    mark = i + 1;
                    return true;
                }
            }
            return false;
        },
        seconds(60)))
        << Describe(consumer.Frames()) << consumer.Error() << m_node.Log();
    EXPECT_NE(m_node.Log().find("consumers take I420 at 640x480"), std::string::npos)
        << m_node.Log();
    // And goes on at the new size.
    EXPECT_TRUE(consumer.WaitFor([&](const std::vector<Consumed>& frames) {
        return CountShown(frames, Shown::Bars, mark) >= 20;
    })) << Describe(consumer.Frames());
    EXPECT_TRUE(AllOf(consumer.Frames(), mark, newSizeBars)) << Describe(consumer.Frames());
}

// Frames the camera sends that the node cannot show: not a JPEG beyond its
// first marker, empty, a header claiming 16384x16384, a JPEG cut half way.
// The simulator plays them in a loop with a good frame (a red 320x240 JPEG).
std::string BadFramesFolder() {
    const std::string folder = MakeFolder("frames");
    std::string good;
    EXPECT_EQ(RunCommand("convert -size 320x240 xc:'#ff0000' -sampling-factor 2x2 " +
                         ShellQuote(folder + "/0-good.jpg")),
              0);
    EXPECT_TRUE(ReadFile(folder + "/0-good.jpg", good));
    EXPECT_TRUE(WriteFile(folder + "/1-not-a-jpeg.jpg", std::string("\xFF\xD8garbage garbage")));
    EXPECT_TRUE(WriteFile(folder + "/2-empty.jpg", ""));
    // A whole JPEG whose frame header claims 16384x16384.
    std::string huge = good;
    const size_t frameHeader = huge.find("\xFF\xC0");
    EXPECT_NE(frameHeader, std::string::npos);
    if (frameHeader != std::string::npos)
        huge.replace(frameHeader + 5, 4, std::string("\x40\x00\x40\x00", 4));
    EXPECT_TRUE(WriteFile(folder + "/3-huge.jpg", huge));
    EXPECT_TRUE(WriteFile(folder + "/4-cut.jpg", good.substr(0, good.size() / 2)));
    return folder;
}

// Between good frames the bad ones make the waiting picture at the
// negotiated size, cvl-camera goes on, and the whole run of bad frames costs
// one line on its standard error. An MJPG consumer, which gets the camera's
// JPEGs as they are, is never handed one cut short.
TEST_F(CameraNode, BadFramesShowTheStatusPictureWithOneLinePerBurst) {
    ServiceOptions service;
    service.frames = BadFramesFolder();
    ASSERT_NO_FATAL_FAILURE(StartAll(service, {"--size", "320x240"}));
    for (const char* caps : {kRaw, kMjpg}) {
        NodeConsumer& consumer = Consume(caps);
        // Both the good frame and the stand-in for the bad ones arrive, for
        // several seconds of frames.
        EXPECT_TRUE(consumer.WaitFor(
            [](const std::vector<Consumed>& frames) {
                return frames.size() >= 100 && CountShown(frames, Shown::Waiting) >= 10;
            },
            seconds(60)))
            << caps << ": " << Describe(consumer.Frames()) << consumer.Error() << m_node.Log();
        EXPECT_TRUE(
            AllOf(consumer.Frames(), 0,
                  [](const Consumed& f) { return f.width == 320 && f.height == 240 && f.whole; }))
            << caps << ": " << Describe(consumer.Frames());
        consumer.Stop();
    }
    EXPECT_EQ(m_node.Camera().Wait(std::chrono::milliseconds(0)), -1) << "cvl-camera ended";
    int lines = 0;
    for (const std::string& line : SplitLines(m_node.Log()))
        lines += line.find("a frame from the camera is") != std::string::npos;
    EXPECT_EQ(lines, 1) << m_node.Log();
}

// cvl-camera's resident memory in kB, from /proc.
long ResidentKb(pid_t pid) {
    std::string status;
    if (!ReadFile("/proc/" + std::to_string(pid) + "/status", status))
        return -1;
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// Frames near and beyond what the node shows, in a loop: a good 320x240 one,
// a 320x240 JPEG whose header claims 8192x8192, the good one again, and a
// real 4000x3000 JPEG.
std::string LargeFramesFolder() {
    const std::string folder = MakeFolder("large-frames");
    EXPECT_EQ(RunCommand("convert -size 320x240 xc:'#ff0000' -sampling-factor 2x2 " +
                         ShellQuote(folder + "/0-good.jpg") + " && cp " +
                         ShellQuote(folder + "/0-good.jpg") + " " +
                         ShellQuote(folder + "/2-good.jpg") +
                         " && convert -size 4000x3000 xc:'#0000ff' -sampling-factor 2x2 " +
                         ShellQuote(folder + "/3-large.jpg")),
              0);
    std::string liar;
    EXPECT_TRUE(ReadFile(folder + "/0-good.jpg", liar));
    const size_t frameHeader = liar.find("\xFF\xC0");
    EXPECT_NE(frameHeader, std::string::npos);
    if (frameHeader != std::string::npos)
        liar.replace(frameHeader + 5, 4, std::string("\x20\x00\x20\x00", 4));
    EXPECT_TRUE(WriteFile(folder + "/1-liar.jpg", liar));
    return folder;
}

// A camera whose frames flip between sizes, some beyond what the node shows:
// the node keeps its size (no renegotiation on every frame), pictures keep
// coming, and once the camera sends normal frames again the consumer has
// them at the camera's size and rate, and cvl-camera's memory is back near
// where it was.
TEST_F(CameraNode, FramesNearTheSizeLimitCostLittleAndLeaveNothingBehind) {
    ASSERT_TRUE(m_service.Start());
    ASSERT_NO_FATAL_FAILURE(StartSession());
    // The address sanitizer keeps freed memory in quarantine (256 MB by
    // default), which would hide what cvl-camera gives back.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    ASSERT_NO_FATAL_FAILURE(StartCamera(
        {}, {"ASAN_OPTIONS=" + std::string(sanitizer ? sanitizer : "") + ":quarantine_size_mb=4"}));
    m_consumers.push_back(
        std::make_unique<NodeConsumer>(std::vector<std::pair<int, int>>{{960, 640}, {320, 240}}));
    NodeConsumer& consumer = *m_consumers.back();
    ASSERT_TRUE(consumer.Play());
    ASSERT_TRUE(consumer.WaitFor([](const std::vector<Consumed>& frames) {
        return CountShown(frames, Shown::Bars) >= 30;
    })) << Describe(consumer.Frames());
    const long usual = ResidentKb(m_node.Pid());
    ASSERT_GT(usual, 0);

    m_service.Terminate();
    ASSERT_EQ(m_service.WaitForExit(seconds(30)), 0);
    ServiceOptions large;
    large.frames = LargeFramesFolder();
    ServiceProcess flipping;
    ASSERT_TRUE(flipping.Start(large));
    ASSERT_TRUE(WaitFor(
        [&] { return m_node.Log().find("larger than the node shows") != std::string::npos; },
        seconds(60)))
        << m_node.Log();
    size_t mark = consumer.Count();
    EXPECT_TRUE(consumer.WaitFor([&](const std::vector<Consumed>& frames) {
        return frames.size() >= mark + 90;
    })) << Describe(consumer.Frames())
        << m_node.Log();
    long peak = ResidentKb(m_node.Pid());
    flipping.Terminate();
    ASSERT_EQ(flipping.WaitForExit(seconds(30)), 0);
    EXPECT_EQ(m_node.Log().find("offering that size"), std::string::npos) << m_node.Log();

    ServiceProcess normal;
    ASSERT_TRUE(normal.Start());
    mark = consumer.Count();
    EXPECT_TRUE(consumer.WaitFor([&](const std::vector<Consumed>& frames) {
        size_t live = 0;
        for (size_t i = mark; i < frames.size(); ++i)
            live += frames[i].shown == Shown::Bars && frames[i].width == 960;
        return live >= 60;
    })) << Describe(consumer.Frames())
        << m_node.Log();
    ExpectLivePicturesGoOn(consumer, "frames near the size limit gone by");
    const long after = ResidentKb(m_node.Pid());
    std::printf("cvl-camera resident: %ld kB usual, %ld kB among large frames, %ld kB after\n",
                usual, peak, after);
    EXPECT_LT(after, usual + 64 * 1024) << "usual " << usual << " kB";
}

// A live view of odd size: MJPG consumers get it at its own size, passed
// through; raw 4:2:0 needs even sides, so raw consumers get it scaled to the
// even size below.
TEST_F(CameraNode, AnOddLiveViewSizeReachesMjpgAsItIsAndRawAtTheEvenSizeBelow) {
    ServiceOptions service;
    service.size = "641x481";
    ASSERT_NO_FATAL_FAILURE(StartAll(service, {"--size", "640x480"}));
    NodeConsumer& mjpg = Consume(kMjpg);
    EXPECT_TRUE(mjpg.WaitFor([](const std::vector<Consumed>& frames) {
        size_t live = 0;
        for (const Consumed& f : frames)
            live += f.shown == Shown::Bars && f.stamped && f.width == 641 && f.height == 481;
        return live >= 20;
    })) << Describe(mjpg.Frames())
        << mjpg.Error() << m_node.Log();
    mjpg.Stop();
    NodeConsumer& raw = Consume(kRaw);
    EXPECT_TRUE(raw.WaitFor([](const std::vector<Consumed>& frames) {
        return CountShown(frames, Shown::Bars) >= 20;
    })) << Describe(raw.Frames())
        << raw.Error() << m_node.Log();
    EXPECT_TRUE(AllOf(raw.Frames(), 0, [](const Consumed& f) {
        return f.width == 640 && f.height == 480;
    })) << Describe(raw.Frames());
}

// A V4L2-only program through PipeWire's V4L2 compatibility library.
TEST_F(CameraNode, V4l2ProgramThroughPwV4l2CapturesFrames) {
    if (RunCommand("command -v pw-v4l2 >/dev/null && command -v ffmpeg >/dev/null") != 0)
        GTEST_SKIP() << "pw-v4l2 or ffmpeg is not installed";
    ASSERT_NO_FATAL_FAILURE(StartAll());
    std::string formats;
    m_node.Session().Run("timeout 60 pw-v4l2 ffmpeg -hide_banner -f v4l2 -list_formats all -i "
                         "/dev/video0 2>&1",
                         &formats);
    EXPECT_NE(formats.find("960x640"), std::string::npos) << formats;

    std::string output;
    const int status =
        m_node.Session().Run("timeout 120 pw-v4l2 ffmpeg -hide_banner -nostdin -f v4l2 "
                             "-i /dev/video0 -frames:v 30 -f null - 2>&1",
                             &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("frame=   30"), std::string::npos) << output;
    EXPECT_TRUE(
        WaitForLogMessage("received: StartStreaming from: " + std::to_string(m_node.Pid())));
}

// The node and a cvlsrc pipeline in this process share the service's one
// stream through the host relay, whichever holds it: both show the camera,
// each ownership is one StartStreaming, and the one left takes it over.
TEST_F(CameraNode, SharesTheOneServiceStreamWithACvlSrcPipelineInEitherOrder) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    const pid_t camera = m_node.Pid();
    const std::string fromCamera = std::to_string(camera);
    const std::string fromHere = std::to_string(getpid());
    const auto srcLive = [](Pipeline& pipeline) {
        const size_t from = pipeline.BufferCount();
        return pipeline.WaitForBuffers(
            [&](const std::vector<Buffer>& all) {
                return DistinctLive(std::vector<Buffer>(all.begin() + static_cast<long>(from),
                                                        all.end())) >= 10;
            },
            seconds(30));
    };

    // The node first: it owns the stream, the element reads it.
    NodeConsumer& consumer = Consume(kMjpg);
    ASSERT_TRUE(consumer.WaitForShown(Shown::Bars)) << Describe(consumer.Frames());
    Pipeline pipeline("cvlsrc ! appsink name=sink");
    ASSERT_TRUE(pipeline.Play());
    EXPECT_TRUE(srcLive(pipeline)) << pipeline.Error();
    EXPECT_TRUE(consumer.WaitForShown(Shown::Bars, consumer.Count()));
    EXPECT_EQ(CountRequests("StartStreaming", camera), 1);
    EXPECT_EQ(CountRequests("StartStreaming", getpid()), 0);

    // The node's consumer leaves: the node ends its stream after its linger
    // and the element takes the stream over.
    consumer.Stop();
    EXPECT_TRUE(WaitForLogMessage("received: StopStreaming from: " + fromCamera, 1, seconds(30)));
    EXPECT_TRUE(WaitForLogMessage("received: StartStreaming from: " + fromHere, 1, seconds(30)));
    EXPECT_TRUE(srcLive(pipeline));

    // A consumer again: the node reads the element's stream.
    NodeConsumer& again = Consume(kMjpg);
    EXPECT_TRUE(again.WaitForShown(Shown::Bars)) << Describe(again.Frames());
    EXPECT_EQ(CountRequests("StartStreaming", camera), 1);

    // The element stops: the node takes over, its consumer keeps the bars.
    EXPECT_TRUE(pipeline.Stop());
    EXPECT_TRUE(WaitForLogMessage("received: StartStreaming from: " + fromCamera, 2, seconds(30)));
    EXPECT_TRUE(again.WaitForShown(Shown::Bars, again.Count()));
    for (const Consumed& frame : again.Frames())
        EXPECT_NE(frame.shown, Shown::Busy);
    EXPECT_EQ(CountRequests("StartStreaming", getpid()), 1);
}

// What a user meets before anything runs: distinct statuses and a clear word.
TEST(CameraProgram, ExitStatusesForHelpBadOptionsNoInstallationAndNoPipeWire) {
    ASSERT_TRUE(StageInstallation(InstallRoot()));
    const std::string camera = ShellQuote(Program("cvl-camera"));
    std::string output;
    EXPECT_EQ(RunCommand(camera + " --help", &output), 0);
    EXPECT_NE(output.find("Usage: cvl-camera"), std::string::npos);
    EXPECT_EQ(RunCommand(camera + " --size 12x9 2>&1", &output), 2);
    EXPECT_NE(output.find("--size"), std::string::npos) << output;
    EXPECT_EQ(RunCommand(camera + " --frobnicate 2>&1", &output), 2);
    EXPECT_NE(output.find("unknown option --frobnicate"), std::string::npos) << output;

    const std::string empty = MakeFolder("empty-root");
    EXPECT_EQ(RunCommand("CVL_ROOT=" + ShellQuote(empty) + " " + camera + " 2>&1", &output), 3);
    EXPECT_NE(output.find("no Corvalink installation"), std::string::npos) << output;

    const std::string nobody = MakeFolder("no-pipewire");
    EXPECT_EQ(RunCommand("env -u PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR=" + ShellQuote(nobody) + " " +
                             camera + " 2>&1",
                         &output),
              4);
    EXPECT_NE(output.find("no PipeWire daemon"), std::string::npos) << output;
}

} // namespace
