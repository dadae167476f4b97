// Camera settings end to end on the libgphoto2 build: cvl-ctl asks the real
// service, which writes the PTP/IP test camera's device properties, while a
// client streams. The frames keep coming through every change, slow property
// calls and a body that leaves live view on a change; bad requests get a
// clear message and a non-zero exit.
#include "GphotoServiceFixture.h"

#include <cvlhost/JpegHeader.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace cvl::test {
namespace {

struct CtlResult {
    int status = -1;
    std::string output; // standard output and error
};

CtlResult Ctl(const std::string& arguments) {
    CtlResult result;
    result.status = RunCommand(Program("cvl-ctl") + " " + arguments + " 2>&1", &result.output);
    return result;
}

// No status picture among the frames watched.
void ExpectOnlyLive(const WatchedFrames& watched, int uniqueLive) {
    EXPECT_GE(watched.UniqueLive(), uniqueLive);
    EXPECT_EQ(watched.Count(FrameKind::Busy) + watched.Count(FrameKind::Disconnected) +
                  watched.Count(FrameKind::Error),
              0);
}

// The width of the live frames the client receives reaches the one wanted.
bool FramesAreWide(CVLClient& client, int wanted) {
    return WaitFor(
        [&] {
            std::unique_ptr<EvfFrame> frame(client.GetFrame());
            int width = 0, height = 0;
            return cvl::host::ReadJpegSize(
                       frame->GetBuf(), static_cast<size_t>(frame->GetBufSize()), width, height) &&
                   width == wanted;
        },
        seconds(30));
}

// The set runs in cvl-ctl while the client keeps reading frames.
CtlResult SetWhileWatching(CVLClient& client, const std::string& arguments,
                           WatchedFrames& watched) {
    CtlResult result;
    std::atomic<bool> done{false};
    std::thread ctl([&] {
        result = Ctl(arguments);
        done = true;
    });
    watched = WatchedFrames();
    while (!done) {
        const WatchedFrames some = Watch(client, std::chrono::milliseconds(200));
        watched.kinds.insert(watched.kinds.end(), some.kinds.begin(), some.kinds.end());
        watched.liveSequences.insert(watched.liveSequences.end(), some.liveSequences.begin(),
                                     some.liveSequences.end());
    }
    ctl.join();
    return result;
}

struct Change {
    const char* name;
    const char* value;
    const char* shown; // what cvl-ctl get prints
    const char* code;  // the device property
    const char* onCamera;
};

TEST_F(GphotoService, EverySettingThroughCtlWhileAClientStreams) {
    CVLClient client;
    ASSERT_TRUE(StartLive(client));
    // The camera starts at 640x480; the service makes the largest of its
    // sizes the default when it reads the settings.
    EXPECT_TRUE(FramesAreWide(client, 1920));
    EXPECT_EQ(m_camera.Command("prop d6aa"), "3");

    const CtlResult list = Ctl("list");
    ASSERT_EQ(list.status, 0) << list.output;
    for (const char* line :
         {"iso\t400\t100,200,400,800,1600,3200,6400\n", "aperture\t5.6\t2.8,4,5.6,8,11,16\n",
          "live-view-size\t1920x1280\t640x480,1024x768,1920x1280\n"})
        EXPECT_NE(list.output.find(line), std::string::npos) << line << list.output;
    EXPECT_NE(list.output.find("shutter-speed\t1/60\t"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("exposure-compensation\t0\t"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("white-balance\tauto\t"), std::string::npos) << list.output;
    // The vendor's driver has no live-view zoom.
    EXPECT_EQ(list.output.find("\nzoom\t"), std::string::npos) << list.output;

    const Change changes[] = {
        {"iso", "1600", "1600", "500f", "1600"},
        {"aperture", "8", "8", "5007", "800"},
        {"shutter-speed", "1/250", "1/250", "500d", "40"},
        {"exposure-compensation", "-0.7", "-0.7", "5010", "-667"},
        {"white-balance", "tungsten", "tungsten", "5005", "6"},
        {"live-view-size", "1024x768", "1024x768", "d6aa", "2"},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        const CtlResult set = Ctl(std::string("set ") + change.name + " " + change.value);
        EXPECT_EQ(set.status, 0) << set.output;
        const CtlResult get = Ctl(std::string("get ") + change.name);
        EXPECT_EQ(get.status, 0) << get.output;
        EXPECT_EQ(get.output, std::string(change.shown) + "\n");
        EXPECT_EQ(m_camera.Command(std::string("prop ") + change.code), change.onCamera);
        ExpectOnlyLive(WatchUntil(client, 10, seconds(60)), 10);
    }
    EXPECT_TRUE(FramesAreWide(client, 1024));

    // A value the camera does not offer and a setting it lacks: the reason,
    // a non-zero exit, nothing changed, and the stream goes on.
    CtlResult refused = Ctl("set iso 900");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("iso cannot be \"900\"; allowed: 100, 200,"), std::string::npos)
        << refused.output;
    EXPECT_EQ(m_camera.Command("prop 500f"), "1600");
    refused = Ctl("set zoom 5");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("this camera has no setting zoom"), std::string::npos)
        << refused.output;
    refused = Ctl("get zoom");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("zoom"), std::string::npos) << refused.output;
    ExpectOnlyLive(WatchUntil(client, 10, seconds(60)), 10);
    client.StopStreaming();
}

TEST_F(GphotoService, SlowPropertiesAndABodyThatLeavesLiveViewKeepTheStream) {
    CVLClient client;
    ASSERT_TRUE(StartLive(client));
    ASSERT_TRUE(FramesAreWide(client, 1920));

    // Every property call takes 1.5 s: the set takes its time and frames go
    // on arriving meanwhile.
    EXPECT_EQ(m_camera.Command("slow 1500"), "ok");
    WatchedFrames during;
    CtlResult set = SetWhileWatching(client, "--timeout 60 set iso 800", during);
    EXPECT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(m_camera.Command("prop 500f"), "800");
    ExpectOnlyLive(during, 0);
    ExpectOnlyLive(WatchUntil(client, 10, seconds(60)), 10);
    EXPECT_EQ(m_camera.Command("slow 0"), "ok");
    ExpectOnlyLive(WatchUntil(client, 10, seconds(60)), 10);

    // The body leaves live view on every change: the service's stream
    // carries on without a status picture.
    ASSERT_EQ(m_camera.Command("leave on"), "ok");
    for (const char* value : {"11", "4"}) {
        set = SetWhileWatching(client, std::string("set aperture ") + value, during);
        EXPECT_EQ(set.status, 0) << set.output;
        ExpectOnlyLive(during, 0);
        ExpectOnlyLive(WatchUntil(client, 10, seconds(60)), 10);
    }
    // It left twice, and shows live view again.
    EXPECT_EQ(m_camera.Command("liveview"), "on 2");
    EXPECT_EQ(m_camera.Command("prop 5007"), "400");
    EXPECT_EQ(Ctl("get aperture").output, "4\n");
    client.StopStreaming();
}

} // namespace
} // namespace cvl::test
