// Every host recovers by itself: cvl-web (a program) and cvlsrc (an element
// in this process) stream from the real service of the test's staged
// installation; the service is killed and a new one started later.
#include "GstTestSupport.h"
#include "HttpProbe.h"
#include "ServiceHarness.h"
#include "ServiceLog.h"
#include "TestSupport.h"
#include "Zelsim.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <chrono>

namespace cvl::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string LastState(Pipeline& pipeline) {
    const std::vector<std::string> states = pipeline.States();
    return states.empty() ? "" : states.back();
}

// cvl-web owns the service's stream; cvlsrc, in this process, reads it from
// the frame relay, so both name what the owner sees.
TEST(HostRecovery, AKilledServiceIsNamedByEveryHostAndANewOneBringsLiveFramesBack) {
    InitGStreamer();
    ServiceProcess first;
    ASSERT_TRUE(first.Start());
    WebProcess web;
    ASSERT_TRUE(web.Start());
    ASSERT_TRUE(WaitFor([&] { return web.State() == "live"; }, std::chrono::seconds(30)));
    Pipeline pipeline("cvlsrc ! appsink name=sink");
    ASSERT_TRUE(pipeline.Play());
    ASSERT_TRUE(pipeline.WaitForState("live", std::chrono::seconds(30)))
        << LastState(pipeline) << pipeline.Error();

    kill(first.Pid(), SIGKILL);
    first.WaitForExit();
    const auto killed = Clock::now();
    // Within 5 s both say the service is not running; cvl-web does not keep
    // the frozen picture labelled live.
    EXPECT_TRUE(
        WaitFor([&] { return web.State() == "service not running"; }, std::chrono::seconds(5)))
        << web.State();
    EXPECT_TRUE(
        WaitFor([&] { return LastState(pipeline) == "service not running"; },
                std::chrono::milliseconds(5000) -
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed)))
        << LastState(pipeline);
    const size_t named = pipeline.BufferCount();
    std::printf(
        "both named the service not running %lld ms after the kill\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count()));

    // Ten seconds without a service: the cause stays named.
    std::string webStates;
    WaitFor(
        [&] {
            const std::string state = web.State();
            if (state != "service not running" && webStates.find(state) == std::string::npos)
                webStates += state + ";";
            return Clock::now() - killed >= std::chrono::seconds(10);
        },
        std::chrono::seconds(20));
    EXPECT_EQ(webStates, "");
    EXPECT_EQ(LastState(pipeline), "service not running");
    const std::vector<Buffer> whileGone = pipeline.Buffers();
    ASSERT_GT(whileGone.size(), named + 10);
    for (size_t i = named; i < whileGone.size(); ++i)
        ASSERT_NE(whileGone[i].kind, FrameKind::Live) << i;

    // A new service: within 5 s of it taking requests the owner has asked
    // for the stream again, and both show live frames.
    ServiceProcess second;
    ASSERT_TRUE(second.Start());
    const auto serving = Clock::now();
    const double framesBefore = web.Stat("frames");
    const size_t back = pipeline.BufferCount();
    const auto srcFrames = [&] {
        const std::vector<Buffer> all = pipeline.Buffers();
        return DistinctLive(std::vector<Buffer>(all.begin() + static_cast<long>(back), all.end()));
    };
    ASSERT_TRUE(WaitFor([&] { return web.State() == "live" && web.Stat("frames") > framesBefore; },
                        std::chrono::seconds(5)))
        << web.State();
    std::printf(
        "cvl-web live %lld ms after the new service served its request port\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - serving).count()));
    EXPECT_TRUE(WaitFor([&] { return srcFrames() >= 10; }, std::chrono::seconds(30)));
    EXPECT_EQ(LastState(pipeline), "live");
    EXPECT_TRUE(WaitForLogMessage("received: StartStreaming from: " + std::to_string(web.Pid())));
    EXPECT_EQ(CountLogMessages("received: StartStreaming from: " + std::to_string(getpid())), 0);
    EXPECT_TRUE(pipeline.Stop());
    EXPECT_EQ(web.Signal(SIGTERM), 0);
}

TEST(HostRecovery, CvlWebNamesTheRealCauseOfEveryStatusPicture) {
    WebProcess web;
    ASSERT_TRUE(web.Start());
    // No service: never the busy camera, also after the client library's
    // 5 s without frames.
    ASSERT_TRUE(WaitFor([&] { return web.State() == "service not running"; }));
    const auto named = Clock::now();
    std::string other;
    WaitFor(
        [&] {
            const std::string state = web.State();
            if (state != "service not running")
                other = state;
            return Clock::now() - named >= std::chrono::seconds(6);
        },
        std::chrono::seconds(20));
    EXPECT_EQ(other, "");

    // A service whose camera another program holds, then free, then gone.
    // The camera is plugged in once it is held: cvl-web asks as soon as the
    // service serves its port, and a session opened before would stay open.
    ServiceOptions noCamera;
    noCamera.camera = "none";
    ServiceProcess service;
    ASSERT_TRUE(service.Start(noCamera));
    Zelsim("busy on");
    Zelsim("plug standard");
    EXPECT_TRUE(WaitFor([&] { return web.State() == "camera busy"; }, std::chrono::seconds(30)))
        << web.State();
    Zelsim("busy off");
    EXPECT_TRUE(WaitFor([&] { return web.State() == "live"; }, std::chrono::seconds(30)))
        << web.State();
    Zelsim("unplug");
    EXPECT_TRUE(WaitFor([&] { return web.State() == "no camera"; }, std::chrono::seconds(30)))
        << web.State();
    EXPECT_EQ(web.Signal(SIGTERM), 0);
}

} // namespace
} // namespace cvl::test
