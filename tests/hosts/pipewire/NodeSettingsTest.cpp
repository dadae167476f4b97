// The camera's settings on the cvl-camera node, through PipeWire's own tools
// in a private session: pw-cli enumerates PropInfo and Props and writes
// Props, a pipewiresrc consumer's frames show the change, a bad value is
// refused with a logged line, a change on the camera body reaches the node,
// and pw-v4l2 hands the controls it can show to a V4L2 program.
#include "CVLSettings.h"
#include "ControlTable.h"
#include "NodeConsumer.h"
#include "NodeProcess.h"
#include "ServiceHarness.h"
#include "TestSupport.h"
#include "Zelsim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

using namespace cvl::test;
using cvl::camera::ControlTable;
using std::chrono::seconds;

const char kLabel[] = "Corvalink Camera";
const char kNode[] = "corvalink-camera";

// Mean colour of the newest pictures, once at least count came after from.
struct Colour {
    double red = 0;
    double green = 0;
    double blue = 0;
    double Brightness() const { return (red + green + blue) / 3; }
};

Colour MeanOf(const std::vector<Consumed>& frames, size_t from) {
    Colour colour;
    size_t count = 0;
    for (size_t i = from; i < frames.size(); ++i) {
        colour.red += frames[i].red;
        colour.green += frames[i].green;
        colour.blue += frames[i].blue;
        ++count;
    }
    if (count) {
        colour.red /= count;
        colour.green /= count;
        colour.blue /= count;
    }
    return colour;
}

std::string Hex(uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%x", id);
    return text;
}

class NodeSettings : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StageInstallation(InstallRoot())); }

    void TearDown() override {
        if (m_consumer)
            m_consumer->Stop();
        m_consumer.reset();
    }

    // The service, the session, cvl-camera and one raw consumer that streams
    // (the service has settings while a client streams).
    void StartStreaming() {
        ASSERT_TRUE(m_service.Start());
        ASSERT_TRUE(m_node.Start());
        m_consumer = std::make_unique<NodeConsumer>("video/x-raw,format=I420");
        ASSERT_TRUE(m_consumer->Play());
        ASSERT_TRUE(m_consumer->WaitForShown(Shown::Bars, 0, seconds(60)))
            << m_consumer->Error() << m_node.Log();
    }

    std::string PwCli(const std::string& arguments) {
        std::string output;
        m_node.Session().Run("timeout 30 pw-cli " + arguments + " 2>&1", &output);
        return output;
    }

    bool WaitForParams(const std::string& param, const std::string& text,
                       std::string* last = nullptr) {
        std::string output;
        const bool found = WaitFor(
            [&] {
                output = PwCli(std::string("enum-params ") + kNode + " " + param);
                return output.find(text) != std::string::npos;
            },
            seconds(60));
        if (last)
            *last = output;
        return found;
    }

    // The index of value among a setting's choices, as the node numbers them.
    int ChoiceIndex(const std::string& name, const std::string& value) {
        CVLSetting setting;
        std::string error;
        if (!m_settings.Get(name, setting, error))
            return -1;
        const auto at = std::find(setting.allowed.begin(), setting.allowed.end(), value);
        return at == setting.allowed.end() ? -1 : static_cast<int>(at - setting.allowed.begin());
    }

    bool WaitForValue(const std::string& name, const std::string& value) {
        return WaitFor(
            [&] {
                CVLSetting setting;
                std::string error;
                return m_settings.Get(name, setting, error) && setting.value == value;
            },
            seconds(30));
    }

    // Waits for condition on the mean colour of pictures that came after
    // the first `from` (at least ten of them).
    bool WaitForColour(size_t from, const std::function<bool(const Colour&)>& condition,
                       Colour& seen) {
        return m_consumer->WaitFor(
            [&](const std::vector<Consumed>& frames) {
                if (frames.size() < from + 10)
                    return false;
                seen = MeanOf(frames, frames.size() - 10);
                return condition(seen);
            },
            seconds(30));
    }

    ServiceProcess m_service;
    NodeProcess m_node;
    std::unique_ptr<NodeConsumer> m_consumer;
    CVLSettings m_settings;
};

TEST_F(NodeSettings, PwCliListsSetsAndIsRefusedCleanlyWhileFramesShowTheChanges) {
    ASSERT_NO_FATAL_FAILURE(StartStreaming());

    // Every setting of the simulated camera, with its type and choices.
    std::string info;
    ASSERT_TRUE(WaitForParams("PropInfo", "Exposure compensation", &info)) << info << m_node.Log();
    for (const char* expected :
         {"ISO", "Aperture (f-number)", "Shutter speed (seconds)", "White balance",
          "Live-view size", "Live-view zoom", "Zoom centre across", "Autofocus (write true)",
          "Focus step", "\"tungsten\"", "\"1/60\"", "\"+1\"",
          "Spa:Pod:Object:Param:PropInfo:labels", "Spa:Pod:Object:Param:Props:gain",
          "Spa:Pod:Object:Param:Props:exposure"})
        EXPECT_NE(info.find(expected), std::string::npos) << expected << "\n" << info;
    const std::string props = PwCli(std::string("enum-params ") + kNode + " Props");
    EXPECT_NE(props.find("Spa:Pod:Object:Param:Props"), std::string::npos) << props;

    // Exposure compensation up by two stops: a brighter picture.
    const size_t before = m_consumer->Count();
    Colour start;
    ASSERT_TRUE(WaitForColour(
        before, [](const Colour&) { return true; }, start));
    const int plusTwo = ChoiceIndex("exposure-compensation", "+2");
    ASSERT_GE(plusTwo, 0);
    const uint32_t compensation = ControlTable::PropId("exposure-compensation");
    PwCli(std::string("set-param ") + kNode + " Props '{ " + Hex(compensation) + ": " +
          std::to_string(plusTwo) + " }'");
    EXPECT_TRUE(WaitForValue("exposure-compensation", "+2")) << m_node.Log();
    Colour brighter;
    EXPECT_TRUE(WaitForColour(
        m_consumer->Count(),
        [&](const Colour& c) { return c.Brightness() > start.Brightness() + 20; }, brighter))
        << "before " << start.Brightness() << ", now " << brighter.Brightness();
    // The node shows the camera's new value.
    EXPECT_TRUE(WaitForParams("Props", "Int " + std::to_string(plusTwo)));

    // White balance by its label: tungsten tints the picture blue.
    PwCli(std::string("set-param ") + kNode + " Props '{ " +
          Hex(ControlTable::PropId("white-balance")) + ": \"tungsten\" }'");
    EXPECT_TRUE(WaitForValue("white-balance", "tungsten")) << m_node.Log();
    Colour tinted;
    EXPECT_TRUE(WaitForColour(
        m_consumer->Count(),
        [&](const Colour& c) { return c.blue - c.red > brighter.blue - brighter.red + 10; },
        tinted))
        << "red " << tinted.red << " blue " << tinted.blue;

    // A choice that does not exist: refused with a line, nothing changes,
    // and the node goes on.
    PwCli(std::string("set-param ") + kNode + " Props '{ " + Hex(compensation) + ": 99 }'");
    EXPECT_TRUE(WaitFor(
        [&] {
            return m_node.Log().find("was not applied: exposure-compensation: 99 is not a "
                                     "choice") != std::string::npos;
        },
        seconds(30)))
        << m_node.Log();
    EXPECT_TRUE(WaitForValue("exposure-compensation", "+2"));
    const size_t after = m_consumer->Count();
    EXPECT_TRUE(m_consumer->WaitFor(
        [&](const std::vector<Consumed>& frames) { return frames.size() > after + 10; }));

    // SPA's own ids by their short names: ISO is the gain.
    const int iso800 = ChoiceIndex("iso", "800");
    ASSERT_GE(iso800, 0);
    PwCli(std::string("set-param ") + kNode + " Props '{ gain: " + std::to_string(iso800) + " }'");
    EXPECT_TRUE(WaitForValue("iso", "800")) << m_node.Log();

    // A change on the camera body reaches the node's params.
    Zelsim("set iso 1600");
    const int iso1600 = ChoiceIndex("iso", "1600");
    ASSERT_GE(iso1600, 0);
    EXPECT_TRUE(WaitForParams("Props", "Int " + std::to_string(iso1600)));
    EXPECT_TRUE(WaitForValue("iso", "1600"));
}

// pw-v4l2 hands a V4L2 program the controls it can show (integer ranges
// and booleans, marked read-only, menus left out); its VIDIOC_S_CTRL still
// writes Props on the node, the camera takes the value and VIDIOC_G_CTRL
// reads it back.
TEST_F(NodeSettings, PwV4l2ListsTheIntegerAndBooleanControlsAndWritesThem) {
    if (RunCommand("command -v pw-v4l2 >/dev/null") != 0)
        GTEST_SKIP() << "pw-v4l2 is not installed";
    ASSERT_NO_FATAL_FAILURE(StartStreaming());
    ASSERT_TRUE(WaitForParams("PropInfo", "Exposure compensation")) << m_node.Log();
    const std::string probe =
        "timeout 60 pw-v4l2 " + ShellQuote(BinaryDir() + "/tests/cvl_v4l2_controls");
    std::string controls;
    // The zoom centre's V4L2 id: the prop id less SPA_PROP_START_CUSTOM.
    const std::string across = Hex(ControlTable::PropId("zoom-position-x") - 0x1000000);
    EXPECT_EQ(m_node.Session().Run(probe + " " + across + "=250", &controls), 0) << controls;
    for (const char* expected : {"0x009a090b\tFocus step (- near, + far)\t1\t-3\t3\t1\t0\t",
                                 "0x009a091c\tAutofocus (write true)\t2\t0\t1\t1\t0\t",
                                 "0x009a1902\tZoom centre across (1/1000)\t1\t0\t1000\t1\t250\t",
                                 "0x009a1903\tZoom centre down (1/1000)\t1\t0\t1000\t1\t500\t"})
        EXPECT_NE(controls.find(expected), std::string::npos) << expected << "\n" << controls;
    EXPECT_EQ(controls.find("ISO"), std::string::npos) << "pw-v4l2 shows no menus";
    EXPECT_TRUE(WaitFor(
        [&] {
            CVLSetting setting;
            std::string error;
            return m_settings.Get("zoom-position", setting, error) &&
                   setting.value.rfind("0.25", 0) == 0;
        },
        seconds(30)))
        << m_node.Log();
}

} // namespace
