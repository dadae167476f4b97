// cvlsrc in real pipelines against the real service of the test's staged
// installation and its simulated camera.
#include "GstTestSupport.h"
#include "ServiceHarness.h"
#include "TestSupport.h"
#include "Zelsim.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace cvl::test {
namespace {

constexpr GstClockTime kPeriod30 = GST_SECOND / 30;

// What this process's open file descriptors refer to, one a line.
std::string OpenFiles() {
    std::string files;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            char target[512] = {};
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0)
                files += std::string(entry->d_name) + " " + target + "\n";
        }
        closedir(dir);
    }
    return files;
}

// The "Duration: H:MM:SS.fraction" of gst-discoverer-1.0's report in
// seconds, or -1 when the report has none.
double DiscoveredSeconds(const std::string& report) {
    const size_t at = report.find("Duration: ");
    unsigned hours = 0;
    unsigned minutes = 0;
    double seconds = 0;
    if (at == std::string::npos ||
        std::sscanf(report.c_str() + at, "Duration: %u:%u:%lf", &hours, &minutes, &seconds) != 3)
        return -1;
    return hours * 3600.0 + minutes * 60.0 + seconds;
}

size_t CountEntries(const std::string& folder) {
    size_t count = 0;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

std::string FramePortsOfThisProcess() {
    std::string names;
    const std::string suffix = ".Frame." + std::to_string(getpid());
    if (DIR* dir = opendir((RuntimeFolder() + "/CFMessagePort").c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.find(suffix) != std::string::npos)
                names += name + " ";
        }
        closedir(dir);
    }
    return names;
}

// Buffers from index from on.
std::vector<Buffer> From(const std::vector<Buffer>& buffers, size_t from) {
    return std::vector<Buffer>(buffers.begin() + static_cast<long>(std::min(from, buffers.size())),
                               buffers.end());
}

TEST(CvlSrcElement, InspectShowsEveryPropertyWithItsDescription) {
    InitGStreamer();
    std::string output;
    ASSERT_EQ(RunCommand(GstToolEnvironment() + " gst-inspect-1.0 cvlsrc 2>&1", &output), 0)
        << output;
    for (const char* text : {"Corvalink camera source",
                             "GstPushSrc",
                             "image/jpeg",
                             "mode",
                             "over this process's frame port",
                             "(0): port",
                             "(1): sandbox",
                             "start-sandbox",
                             "Ask the service for a sandbox stream",
                             "framerate",
                             "Output frame rate",
                             "Default: 30/1",
                             "do-timestamp",
                             "status-frames",
                             "only live frames flow",
                             "GstPhotography",
                             "live-view-size",
                             "iso-speed",
                             "ev-compensation",
                             "white-balance-mode",
                             "focus-step"}) {
        EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
    }
}

TEST(CvlSrcLive, LiveFramesFlowAtTheOutputRateStampedAndAnswerTheLatencyQuery) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    Pipeline pipeline("cvlsrc name=src ! appsink name=sink");
    ASSERT_TRUE(pipeline.Play());
    ASSERT_TRUE(pipeline.WaitForStatus("live")) << pipeline.Error();
    const size_t firstLive = pipeline.BufferCount();
    ASSERT_TRUE(pipeline.WaitForBuffers(
        [&](const std::vector<Buffer>& all) { return DistinctLive(From(all, firstLive)) >= 60; }));

    const std::vector<Buffer> live = From(pipeline.Buffers(), firstLive);
    // 30 buffers a second (the camera delivers 35): the span of the run
    // against the count, generously; nearly every buffer a new frame.
    const double seconds =
        std::chrono::duration<double>(live.back().arrived - live.front().arrived).count();
    const double rate = static_cast<double>(live.size() - 1) / seconds;
    EXPECT_GT(rate, 20.0);
    EXPECT_LT(rate, 36.0);
    EXPECT_GE(DistinctLive(live) * 10, live.size() * 6);
    for (size_t i = 0; i < live.size(); ++i) {
        EXPECT_EQ(live[i].width, 960);
        EXPECT_EQ(live[i].height, 640);
        ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(live[i].pts));
        if (i > 0) {
            EXPECT_GT(live[i].pts, live[i - 1].pts);
        }
    }
    // The stream's PTS advance like the clock: 30 a second on average.
    const double ptsSeconds = static_cast<double>(live.back().pts - live.front().pts) / GST_SECOND;
    EXPECT_NEAR(ptsSeconds, seconds, 0.5);

    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline.Element()), "src");
    ASSERT_NE(src, nullptr);
    GstPad* pad = gst_element_get_static_pad(src, "src");
    GstCaps* caps = gst_pad_get_current_caps(pad);
    ASSERT_NE(caps, nullptr);
    gint num = 0;
    gint den = 0;
    EXPECT_TRUE(
        gst_structure_get_fraction(gst_caps_get_structure(caps, 0), "framerate", &num, &den));
    EXPECT_EQ(num, 30);
    EXPECT_EQ(den, 1);
    gst_caps_unref(caps);
    gst_object_unref(pad);
    GstQuery* query = gst_query_new_latency();
    ASSERT_TRUE(gst_element_query(src, query));
    gboolean isLive = FALSE;
    GstClockTime min = 0;
    GstClockTime max = 0;
    gst_query_parse_latency(query, &isLive, &min, &max);
    EXPECT_TRUE(isLive);
    EXPECT_EQ(min, kPeriod30);
    EXPECT_EQ(max, kPeriod30);
    gst_query_unref(query);
    gst_object_unref(src);

    // The status frame waiting for the first frames came before the live
    // ones; nothing but live since.
    const std::vector<std::string> statuses = pipeline.Statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "live");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "live"), 1);

    pipeline.SendEos();
    EXPECT_TRUE(WaitFor([&] { return pipeline.SawEos(); })) << pipeline.Error();
    EXPECT_TRUE(pipeline.Stop(std::chrono::seconds(5)));
    EXPECT_TRUE(WaitForLogMessage("received: StopStreaming from: " + std::to_string(getpid())));
}

TEST(CvlSrcLive, RecordingToMatroskaHoldsTheFramesAndPlaysBack) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    const std::string file = TempFolder() + "/recording.mkv";
    {
        Pipeline record("cvlsrc num-buffers=45 ! jpegparse ! matroskamux ! filesink location=" +
                        file);
        ASSERT_TRUE(record.Play());
        ASSERT_TRUE(WaitFor([&] { return record.SawEos(); }, std::chrono::seconds(30)))
            << record.Error();
        EXPECT_EQ(record.Error(), "");
    }
    Pipeline playback("filesrc location=" + file + " ! matroskademux ! appsink name=sink");
    ASSERT_TRUE(playback.Play());
    ASSERT_TRUE(WaitFor([&] { return playback.SawEos(); })) << playback.Error();
    const std::vector<Buffer> frames = playback.Buffers();
    EXPECT_EQ(frames.size(), 45u);
    EXPECT_GT(DistinctLive(frames), 10u);

    std::string output;
    EXPECT_EQ(RunCommand(GstToolEnvironment() + " gst-discoverer-1.0 " + ShellQuote(file) + " 2>&1",
                         &output),
              0)
        << output;
    // The buffers carry the running time at which their frames came, so the
    // file lasts as long as the recording took: the element hands out at most
    // 30 frames a second, so 45 span about 1.4 s at the least, and the
    // recording ended within the wait above. A load that holds up the
    // streaming thread makes the recording longer, not wrong.
    const double seconds = DiscoveredSeconds(output);
    EXPECT_GE(seconds, 1.0) << output;
    EXPECT_LE(seconds, 30.0) << output;
    for (const char* text : {"video #1: JPEG", "Width: 960", "Height: 640", "Frame rate: 30/1"}) {
        EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
    }
}

TEST(CvlSrcStatus, UnplugGivesDisconnectedFramesAndAMessageReplugBringsLiveBack) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    Pipeline pipeline("cvlsrc ! appsink name=sink");
    ASSERT_TRUE(pipeline.Play());
    ASSERT_TRUE(pipeline.WaitForStatus("live")) << pipeline.Error();

    Zelsim("unplug");
    ASSERT_TRUE(pipeline.WaitForStatus("disconnected"));
    const size_t unplugged = pipeline.BufferCount();
    // Status frames keep flowing at the output rate.
    ASSERT_TRUE(pipeline.WaitForBuffers([&](const std::vector<Buffer>& all) {
        return all.size() >= unplugged + 20 && all.back().kind == FrameKind::Disconnected;
    }));

    Zelsim("plug");
    ASSERT_TRUE(pipeline.WaitForStatus("live", std::chrono::seconds(30)));
    const size_t replugged = pipeline.BufferCount();
    ASSERT_TRUE(pipeline.WaitForBuffers(
        [&](const std::vector<Buffer>& all) { return DistinctLive(From(all, replugged)) >= 10; }));
    const std::vector<std::string> statuses = pipeline.Statuses();
    auto disconnected = std::find(statuses.begin(), statuses.end(), "disconnected");
    ASSERT_NE(disconnected, statuses.end());
    EXPECT_EQ(*(disconnected - 1), "live");
}

TEST(CvlSrcStatus, SizeChangesRenegotiateAndDecodingGoesOn) {
    ServiceOptions options;
    options.size = "1920x1080";
    ServiceProcess service;
    ASSERT_TRUE(service.Start(options));
    Pipeline pipeline("cvlsrc ! jpegdec ! videoconvert ! video/x-raw,format=I420 ! "
                      "appsink name=sink");
    ASSERT_TRUE(pipeline.Play());
    auto lastIs = [&](int width, int height) {
        return [=](const std::vector<Buffer>& all) {
            return all.size() >= 5 && std::all_of(all.end() - 5, all.end(), [&](const Buffer& b) {
                       return b.width == width && b.height == height;
                   });
        };
    };
    ASSERT_TRUE(pipeline.WaitForBuffers(lastIs(1920, 1080))) << pipeline.Error();
    Zelsim("unplug"); // the disconnected status frame is 960x640
    ASSERT_TRUE(pipeline.WaitForBuffers(lastIs(960, 640))) << pipeline.Error();
    Zelsim("plug");
    ASSERT_TRUE(pipeline.WaitForBuffers(lastIs(1920, 1080), std::chrono::seconds(30)))
        << pipeline.Error();
    EXPECT_EQ(pipeline.Error(), "");
}

TEST(CvlSrcService, AnAbsentServiceIsNamedAndNeverShownAsABusyCamera) {
    InitGStreamer();
    {
        Pipeline pipeline("cvlsrc ! appsink name=sink");
        ASSERT_TRUE(pipeline.Play());
        ASSERT_TRUE(pipeline.WaitForState("service not running")) << pipeline.Error();
        // Well past the 5 s after which the client library makes its busy
        // picture: still the waiting picture, flowing, and no busy camera.
        ASSERT_TRUE(pipeline.WaitForBuffers(
            [](const std::vector<Buffer>& all) {
                return !all.empty() &&
                       all.back().arrived - all.front().arrived > std::chrono::seconds(7);
            },
            std::chrono::seconds(40)));
        for (const Buffer& buffer : pipeline.Buffers())
            ASSERT_EQ(buffer.kind, FrameKind::Error);
        const std::vector<std::string> statuses = pipeline.Statuses();
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "busy"), 0);
        EXPECT_EQ(pipeline.States().back(), "service not running");
        EXPECT_TRUE(pipeline.Stop(std::chrono::seconds(5)));
    }
    // Only live frames wanted: nothing flows, and stopping does not hang.
    Pipeline liveOnly("cvlsrc status-frames=false ! appsink name=sink");
    ASSERT_TRUE(liveOnly.Play());
    ASSERT_TRUE(liveOnly.WaitForStatus("error"));
    EXPECT_EQ(liveOnly.BufferCount(), 0u);
    EXPECT_TRUE(liveOnly.Stop(std::chrono::seconds(5)));
    EXPECT_EQ(liveOnly.BufferCount(), 0u);
}

TEST(CvlSrcService, AKilledServiceIsNamedAndANewServiceBringsLiveBack) {
    ServiceProcess first;
    ASSERT_TRUE(first.Start());
    Pipeline pipeline("cvlsrc ! appsink name=sink");
    ASSERT_TRUE(pipeline.Play());
    ASSERT_TRUE(pipeline.WaitForStatus("live")) << pipeline.Error();

    kill(first.Pid(), SIGKILL);
    first.WaitForExit();
    // The client repeats its last frame; the element notices the silence,
    // finds no service and hands out the waiting picture instead.
    ASSERT_TRUE(pipeline.WaitForState("service not running", std::chrono::seconds(30)));
    const size_t gone = pipeline.BufferCount();
    ASSERT_TRUE(pipeline.WaitForBuffers([&](const std::vector<Buffer>& all) {
        return all.size() >= gone + 10 && all.back().kind == FrameKind::Error;
    }));

    ServiceProcess second;
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(pipeline.WaitForStatus("live", std::chrono::seconds(30)));
    size_t back = pipeline.BufferCount();
    ASSERT_TRUE(pipeline.WaitForBuffers(
        [&](const std::vector<Buffer>& all) { return DistinctLive(From(all, back)) >= 10; }));

    // A service replaced before the silence is noticed: the stream is asked
    // for again when the check finds the new one answering.
    const size_t statusesBefore = pipeline.Statuses().size();
    kill(second.Pid(), SIGKILL);
    second.WaitForExit();
    ServiceProcess third;
    ASSERT_TRUE(third.Start());
    back = pipeline.BufferCount();
    ASSERT_TRUE(pipeline.WaitForBuffers(
        [&](const std::vector<Buffer>& all) { return DistinctLive(From(all, back)) >= 10; },
        std::chrono::seconds(30)));
    EXPECT_TRUE(WaitForLogMessage("received: StartStreaming from: " + std::to_string(getpid())));
    (void)statusesBefore;
}

TEST(CvlSrcShared, EveryElementOfTheProcessGoesLiveOnOneClientStream) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    const auto liveFrames = [](Pipeline& pipeline, int sink) {
        return DistinctLive(pipeline.Buffers(sink));
    };
    // Two elements in one pipeline.
    Pipeline both("cvlsrc ! appsink name=sink cvlsrc ! appsink name=sink1");
    ASSERT_TRUE(both.Play());
    ASSERT_TRUE(WaitFor([&] { return liveFrames(both, 0) >= 10 && liveFrames(both, 1) >= 10; },
                        std::chrono::seconds(30)))
        << liveFrames(both, 0) << " and " << liveFrames(both, 1) << " live frames";

    // A second pipeline of the same process joins the same stream.
    {
        Pipeline other("cvlsrc ! appsink name=sink");
        ASSERT_TRUE(other.Play());
        const size_t before = liveFrames(both, 1);
        ASSERT_TRUE(WaitFor([&] { return liveFrames(other, 0) >= 10; }, std::chrono::seconds(30)));
        EXPECT_TRUE(
            WaitFor([&] { return liveFrames(both, 1) >= before + 10; }, std::chrono::seconds(30)));
        EXPECT_EQ(other.Statuses().back(), "live");
        EXPECT_TRUE(other.Stop());
    }
    // The pipeline that left took nothing away from the others.
    const size_t before = liveFrames(both, 0);
    EXPECT_TRUE(
        WaitFor([&] { return liveFrames(both, 0) >= before + 10; }, std::chrono::seconds(30)));
    EXPECT_EQ(CountLogMessages("received: StartStreaming from: " + std::to_string(getpid())), 1);

    // A sandbox-mode element cannot share a port-mode stream: a clear error.
    Pipeline mixed("cvlsrc mode=sandbox ! fakesink");
    mixed.Play(); // refused at start
    EXPECT_TRUE(WaitFor([&] { return !mixed.Error().empty(); }, std::chrono::seconds(10)));
    EXPECT_NE(mixed.Error().find("port mode"), std::string::npos) << mixed.Error();
    EXPECT_TRUE(both.Stop());
}

TEST(CvlSrcService, TwentyStartStopCyclesLeaveNoThreadPortOrFileBehind) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    auto cycle = [] {
        Pipeline pipeline("cvlsrc ! appsink name=sink");
        ASSERT_TRUE(pipeline.Play());
        ASSERT_TRUE(
            pipeline.WaitForBuffers([](const std::vector<Buffer>& all) { return !all.empty(); }));
        ASSERT_TRUE(pipeline.Stop(std::chrono::seconds(5)));
    };
    cycle(); // GStreamer's own threads and files of the first use stay
    const size_t threads = CountEntries("/proc/self/task");
    const size_t files = CountEntries("/proc/self/fd");
    for (int i = 0; i < 20; ++i) {
        cycle();
        ASSERT_FALSE(HasFatalFailure()) << "cycle " << i;
    }
    EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") <= threads; }))
        << CountEntries("/proc/self/task") << " threads, " << threads << " before";
    EXPECT_EQ(CountEntries("/proc/self/fd"), files) << OpenFiles();
    EXPECT_EQ(FramePortsOfThisProcess(), "");
    // Every stream was ended at the service.
    EXPECT_TRUE(WaitForLogMessage("received: StopStreaming from: " + std::to_string(getpid()), 21));
}

TEST(CvlSrcSandbox, StartedSandboxStreamDeliversLiveFrames) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    Pipeline pipeline("cvlsrc mode=sandbox start-sandbox=true ! appsink name=sink");
    ASSERT_TRUE(pipeline.Play());
    ASSERT_TRUE(pipeline.WaitForStatus("live")) << pipeline.Error();
    const size_t first = pipeline.BufferCount();
    ASSERT_TRUE(pipeline.WaitForBuffers(
        [&](const std::vector<Buffer>& all) { return DistinctLive(From(all, first)) >= 20; }));
    EXPECT_TRUE(pipeline.Stop(std::chrono::seconds(5)));
    EXPECT_TRUE(WaitForLogMessage("received: StopStreaming from: " + std::to_string(getpid())));
    EXPECT_EQ(FramePortsOfThisProcess(), "");
}

// A PipeWire daemon of the test's own (its own runtime folder), cvlsrc
// feeding a video source node, and a second process taking frames from that
// node. No session manager runs (it needs a session bus), so the test links
// the two ports itself, as a session manager would.
TEST(CvlSrcRoutes, PipeWireNodeDeliversFramesToASecondProcess) {
    if (RunCommand("command -v pipewire >/dev/null && command -v pw-link >/dev/null") != 0)
        GTEST_SKIP() << "pipewire or pw-link is not installed";
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    InitGStreamer();
    const std::string folder = MakeFolder("pipewire");
    chmod(folder.c_str(), 0700);
    const std::string pipewire = "PIPEWIRE_RUNTIME_DIR=" + ShellQuote(folder);
    const std::string log = TempFolder() + "/pipewire.log";
    pid_t daemon = SpawnShell("exec env " + pipewire + " pipewire", log);
    ASSERT_GT(daemon, 0);
    if (!WaitFor([&] { return FileExists(folder + "/pipewire-0"); })) {
        std::string output;
        ReadFile(log, output);
        KillAndReap(daemon);
        GTEST_SKIP() << "the PipeWire daemon did not start here: " << output;
    }
    pid_t sender = SpawnShell(
        "exec env " + GstToolEnvironment() + " " + pipewire +
            " gst-launch-1.0 cvlsrc ! jpegdec ! videoconvert ! video/x-raw,format=I420 ! "
            "pipewiresink "
            "stream-properties=props,media.class=Video/Source,node.name=corvalink-camera",
        TempFolder() + "/sender.log");
    ASSERT_GT(sender, 0);
    // A receiver linked while the sender's node still settles its format
    // fails to negotiate and ends at once; then a new one tries again.
    std::string output;
    std::string input;
    std::string receiverLog;
    bool received = false;
    pid_t receiver = -1;
    for (int attempt = 0; attempt < 5 && !received; ++attempt) {
        const std::string logFile = TempFolder() + "/receiver" + std::to_string(attempt) + ".log";
        receiver = SpawnShell("exec env " + GstToolEnvironment() + " " + pipewire +
                                  " gst-launch-1.0 pipewiresrc num-buffers=30 ! fakesink",
                              logFile);
        ASSERT_GT(receiver, 0);
        const bool linked = WaitFor(
            [&] {
                output.clear();
                input.clear();
                RunCommand(pipewire +
                               " pw-link -o 2>/dev/null | grep corvalink-camera: | head -n 1",
                           &output);
                RunCommand(pipewire + " pw-link -i 2>/dev/null | grep :in_ | head -n 1", &input);
                output.erase(output.find_last_not_of(" \n") + 1);
                input.erase(input.find_last_not_of(" \n") + 1);
                return !output.empty() && !input.empty() &&
                       RunCommand(pipewire + " pw-link " + ShellQuote(output) + " " +
                                  ShellQuote(input) + " 2>/dev/null") == 0;
            },
            std::chrono::seconds(20));
        // 30 frames through the node, then the receiver ends by itself.
        received = linked && WaitForChild(receiver, std::chrono::seconds(20)) == 0;
        ReadFile(logFile, receiverLog);
        KillAndReap(receiver);
    }
    EXPECT_TRUE(received) << "ports: " << output << " / " << input << "\n" << receiverLog;
    EXPECT_NE(receiverLog.find("Got EOS from element"), std::string::npos) << receiverLog;
    KillAndReap(receiver);
    KillAndReap(sender);
    KillAndReap(daemon);
}

} // namespace
} // namespace cvl::test
