// cvl-ctl against the real service of a staged installation and the
// simulated camera: every setting round-trips, the frames a client receives
// show each change, and bad input gets a clear answer without disturbing the
// stream.
#include "FrameMeasure.h"
#include "FrameWatch.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include "cvlhost/FrameStamp.h"

#include <CVLClient.h>
#include <CVLSettings.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace cvl::test;

struct Result {
    int status = -1;
    std::string output; // standard output and error
};

Result Ctl(const std::string& arguments) {
    Result result;
    result.status = RunCommand(Program("cvl-ctl") + " " + arguments + " 2>&1", &result.output);
    return result;
}

// The first live frame downloaded after this moment, measured.
FrameMeasure NextFrame(CVLClient& client) {
    const int64_t after = cvl::host::MonotonicNowNs();
    FrameMeasure measure;
    const bool got = WaitFor([&] {
        std::unique_ptr<EvfFrame> frame(client.GetFrame());
        cvl::host::FrameStamp stamp;
        if (!cvl::host::ReadFrameStamp(frame->GetBuf(), static_cast<size_t>(frame->GetBufSize()),
                                       stamp) ||
            stamp.monotonicNs <= after)
            return false;
        return MeasureJpeg(std::string(reinterpret_cast<const char*>(frame->GetBuf()),
                                       static_cast<size_t>(frame->GetBufSize())),
                           measure);
    });
    EXPECT_TRUE(got) << "no live frame after the change";
    return measure;
}

void ExpectSet(const std::string& name, const std::string& value, const std::string& shown) {
    const Result set = Ctl("set " + name + " " + ShellQuote(value));
    EXPECT_EQ(set.status, 0) << name << " " << value << ": " << set.output;
    const Result get = Ctl("get " + name);
    EXPECT_EQ(get.status, 0) << get.output;
    EXPECT_EQ(get.output, shown + "\n") << name;
}

std::map<std::string, std::vector<std::string>> ListFields(const std::string& output) {
    std::map<std::string, std::vector<std::string>> fields;
    for (const std::string& line : SplitLines(output)) {
        std::vector<std::string> parts;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            parts.push_back(line.substr(start, tab - start));
        parts.push_back(line.substr(start));
        if (parts.size() == 3)
            fields[parts[0]] = {parts[1], parts[2]};
    }
    return fields;
}

class CtlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceOptions options;
        options.size = "480x320";
        ASSERT_TRUE(m_service.Start(options));
    }
    void StartStream() {
        m_client.StartStreaming();
        ASSERT_TRUE(WaitForFrame(m_client, FrameKind::Live));
    }
    void TearDown() override { m_client.StopStreaming(); }

    ServiceProcess m_service;
    CVLClient m_client;
};

} // namespace

TEST_F(CtlTest, EverySettingRoundTripsAndTheFramesShowIt) {
    // Made smaller on the camera body before the stream: the service makes
    // the largest size the default when it connects.
    int status = -1;
    Zelsim("set live-view-size 0x00F000A0", &status);
    ASSERT_EQ(status, 0);
    StartStream();
    FrameMeasure plain = NextFrame(m_client);
    EXPECT_EQ(plain.width, 480);
    EXPECT_EQ(plain.height, 320);

    const Result list = Ctl("list");
    ASSERT_EQ(list.status, 0) << list.output;
    auto fields = ListFields(list.output);
    ASSERT_EQ(fields.size(), 8u) << list.output;
    EXPECT_EQ(fields["iso"],
              (std::vector<std::string>{"400", "auto,100,200,400,800,1600,3200,6400"}));
    EXPECT_EQ(fields["aperture"], (std::vector<std::string>{"5.6", "2.8,4,5.6,8,11,16,22"}));
    EXPECT_EQ(fields["shutter-speed"][0], "1/60");
    EXPECT_NE(fields["shutter-speed"][1].find(",2,1,0.3,1/4,"), std::string::npos);
    EXPECT_EQ(fields["exposure-compensation"][0], "0");
    EXPECT_NE(fields["exposure-compensation"][1].find("-0.7,-0.3,0,+0.3,+0.7,+1,+1.3"),
              std::string::npos);
    EXPECT_EQ(fields["white-balance"][0], "auto");
    EXPECT_EQ(fields["live-view-size"],
              (std::vector<std::string>{"480x320", "480x320,320x212,240x160"}));
    EXPECT_EQ(fields["zoom"], (std::vector<std::string>{"1", "1,5,10"}));
    EXPECT_EQ(fields["zoom-position"], (std::vector<std::string>{"0.5,0.5", ""}));

    ExpectSet("exposure-compensation", "+1", "+1");
    EXPECT_GT(NextFrame(m_client).Brightness(), plain.Brightness() * 1.3);
    ExpectSet("exposure-compensation", "1.3", "+1.3");
    ExpectSet("exposure-compensation", "-0.7", "-0.7");
    EXPECT_LT(NextFrame(m_client).Brightness(), plain.Brightness() * 0.8);
    ExpectSet("exposure-compensation", "0", "0");
    ExpectSet("iso", "1600", "1600");
    EXPECT_GT(NextFrame(m_client).Brightness(), plain.Brightness() * 1.3);
    ExpectSet("iso", "auto", "auto");
    ExpectSet("aperture", "11", "11");
    EXPECT_LT(NextFrame(m_client).Brightness(), plain.Brightness() * 0.5);
    ExpectSet("aperture", "f/5.6", "5.6");
    ExpectSet("shutter-speed", "1/250", "1/250");
    EXPECT_LT(NextFrame(m_client).Brightness(), plain.Brightness() * 0.5);
    ExpectSet("shutter-speed", "0.3", "0.3");
    ExpectSet("shutter-speed", "1/60", "1/60");
    EXPECT_NEAR(NextFrame(m_client).Brightness(), plain.Brightness(), plain.Brightness() * 0.1);

    ExpectSet("white-balance", "Tungsten", "tungsten");
    FrameMeasure tinted = NextFrame(m_client);
    EXPECT_GT(tinted.blue / tinted.red, plain.blue / plain.red * 1.4);
    ExpectSet("white-balance", "daylight", "daylight");

    // 10x around the middle of the yellow bar: the frame is yellow.
    ExpectSet("zoom-position", "0.1875,0.125", "0.187,0.125");
    const Result zoom = Ctl("zoom 10");
    EXPECT_EQ(zoom.status, 0) << zoom.output;
    EXPECT_EQ(Ctl("get zoom").output, "10\n");
    FrameMeasure zoomed = NextFrame(m_client);
    EXPECT_EQ(zoomed.width, 480);
    EXPECT_GT(zoomed.red, 200);
    EXPECT_LT(zoomed.blue, 80);
    EXPECT_EQ(Ctl("zoom 1").status, 0);

    Result focus = Ctl("focus far 3");
    EXPECT_EQ(focus.status, 0) << focus.output;
    EXPECT_LT(NextFrame(m_client).sharpness, plain.sharpness * 0.6);
    focus = Ctl("autofocus");
    EXPECT_EQ(focus.status, 0) << focus.output;
    EXPECT_GT(NextFrame(m_client).sharpness, plain.sharpness * 0.8);
    EXPECT_EQ(Ctl("focus near").status, 0);
    EXPECT_EQ(Ctl("focus far 1").status, 0);
    EXPECT_GT(NextFrame(m_client).sharpness, plain.sharpness * 0.8);

    ExpectSet("live-view-size", "240x160", "240x160");
    FrameMeasure small = NextFrame(m_client);
    EXPECT_EQ(small.width, 240);
    EXPECT_EQ(small.height, 160);

    // A change on the camera body reaches the list, and the change counter
    // tells a client that keeps a copy.
    CVLSettings settings;
    uint64_t before = 0;
    ASSERT_TRUE(settings.Changes(before));
    Zelsim("set iso 3200");
    EXPECT_TRUE(WaitFor([] { return Ctl("get iso").output == "3200\n"; }));
    uint64_t after = 0;
    ASSERT_TRUE(settings.Changes(after));
    EXPECT_NE(after, before);
}

TEST_F(CtlTest, BadInputGetsAClearAnswerAndTheStreamGoesOn) {
    // No client streams: no camera session, so no settings.
    Result result = Ctl("set iso 800");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("no camera connected"), std::string::npos) << result.output;
    EXPECT_EQ(Ctl("list").status, 1);
    EXPECT_EQ(Ctl("frobnicate").status, 2);
    EXPECT_EQ(Ctl("focus sideways").status, 2);
    EXPECT_EQ(Ctl("focus near 7").status, 2);
    EXPECT_EQ(Ctl("set iso").status, 2);
    EXPECT_EQ(Ctl("--timeout 0 list").status, 2);

    StartStream();
    result = Ctl("set isoo 800");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("unknown setting \"isoo\"; settings: iso, aperture"),
              std::string::npos)
        << result.output;
    result = Ctl("set iso 900");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("iso cannot be \"900\"; allowed: auto, 100,"), std::string::npos)
        << result.output;
    result = Ctl("set live-view-size big");
    EXPECT_NE(result.output.find("live-view-size cannot be \"big\"; allowed: 480x320, 320x212"),
              std::string::npos)
        << result.output;
    result = Ctl("get loudness");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("no setting loudness"), std::string::npos) << result.output;
    result = Ctl("set zoom-position 2,0.5");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("write it as X,Y with fractions"), std::string::npos)
        << result.output;
    // A burst of refusals makes one log line, not one each.
    CVLSettings settings;
    std::string error;
    auto refusedLines = [] {
        int lines = 0;
        for (const std::string& message : LogMessages())
            lines += message.rfind("settings request refused: ", 0) == 0;
        return lines;
    };
    const int before = refusedLines();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(settings.SubmitSet("iso", "9" + std::to_string(i), error), 0u);
    EXPECT_NE(error.find("allowed: auto"), std::string::npos) << error;
    EXPECT_LE(refusedLines() - before, 2);

    // The camera refuses: the reason, and the stream carries on.
    Zelsim("fail ZelSetPropertyData 0x8D01");
    result = Ctl("set iso 800");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("the camera is busy; try again"), std::string::npos)
        << result.output;
    EXPECT_EQ(Ctl("get iso").output, "400\n");
    Zelsim("fail ZelSendCommand 0x8D01");
    EXPECT_EQ(Ctl("autofocus").status, 1);
    WatchedFrames watched = WatchUntil(m_client, 10);
    EXPECT_GE(watched.UniqueLive(), 10);
    EXPECT_EQ(watched.Count(FrameKind::Busy) + watched.Count(FrameKind::Disconnected) +
                  watched.Count(FrameKind::Error),
              0);

    // A flood of sets of one setting (each takes the camera 20 ms): every
    // set is answered, the newest value wins, the older ones that were
    // still waiting are told so, and the log has a line per burst, not per
    // set.
    std::vector<uint64_t> tickets;
    const std::vector<std::string> values = {"100", "200", "400", "800", "1600", "3200"};
    for (int round = 0; round < 10; ++round)
        for (const std::string& value : values) {
            tickets.push_back(settings.SubmitSet("iso", value, error));
            ASSERT_NE(tickets.back(), 0u) << error;
        }
    int done = 0;
    int replaced = 0;
    ASSERT_TRUE(WaitFor([&] {
        done = 0;
        replaced = 0;
        for (uint64_t ticket : tickets) {
            const CVLSettings::Outcome outcome = settings.GetOutcome(ticket, error);
            if (outcome == CVLSettings::Outcome::Pending)
                return false;
            done += outcome == CVLSettings::Outcome::Done;
            replaced +=
                outcome == CVLSettings::Outcome::Failed && error == "replaced by a newer value";
        }
        return true;
    }));
    EXPECT_EQ(done + replaced, static_cast<int>(tickets.size()));
    EXPECT_EQ(Ctl("get iso").output, "3200\n");
    EXPECT_EQ(settings.GetOutcome(tickets.back(), error), CVLSettings::Outcome::Done) << error;
    int floodLines = 0;
    for (const std::string& message : LogMessages())
        floodLines += message.find("come faster than the camera takes them") != std::string::npos;
    // Sets come far faster than the camera takes them (20 ms each), so some
    // wait and are replaced; how many depends on the machine's pace.
    if (replaced > 0) {
        EXPECT_GE(floodLines, 1);
    }
    EXPECT_LE(floodLines, 3);

    // Actions wait in a short line; more are refused at once (an autofocus
    // takes the camera 100 ms).
    int refused = 0;
    for (int i = 0; i < 50; ++i)
        refused += settings.SubmitAction("autofocus", error) == 0;
    EXPECT_GT(refused, 0);
    EXPECT_NE(error.find("too many camera actions waiting"), std::string::npos) << error;
    EXPECT_EQ(settings.GetOutcome(999999, error), CVLSettings::Outcome::Failed);
    EXPECT_EQ(error, "unknown ticket 999999");
    watched = WatchUntil(m_client, 10);
    EXPECT_GE(watched.UniqueLive(), 10);
}
