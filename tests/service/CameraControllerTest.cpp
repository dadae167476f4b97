// The camera's status rules and the controller's teardown, in process with
// the simulated camera behind the SDK.
#include "CameraController.h"

#include "CVLSettings.h"
#include "FrameTransport.h"
#include "ServiceTestLogger.h"
#include "TestSupport.h"
#include "Zelsim.h"

#include <ZelSDK/ZelSDK.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace cvl::test {
namespace {

class CameraControllerTest : public testing::Test {
protected:
    void SetUp() override {
        // No camera: a reconnect of the controller never changes a status
        // under the test's feet to anything but Disconnected.
        setenv("ZELSIM_CAMERA", camera(), 1);
        ASSERT_EQ(ZelInitializeSDK(), 0u);
    }
    void TearDown() override { ZelTerminateSDK(); }
    virtual const char* camera() const { return "none"; }
};

class StreamingControllerTest : public CameraControllerTest {
protected:
    const char* camera() const override { return "standard"; }
};

TEST_F(CameraControllerTest, TheFirstErrorStatusStaysAndEveryErrorSendsItsFrame) {
    CameraController controller(false);
    // A sandbox-mode sender takes every frame, so nothing stops streaming.
    ASSERT_NE(controller.AddFrameSender("test", true), nullptr);
    EXPECT_EQ(controller.AddFrameSender("test", false), nullptr) << "a second sender, same id";
    Camera* camera = controller.GetCamera();

    camera->SetStatus(Camera::Disconnected);
    camera->SetStatus(Camera::Busy);
    EXPECT_EQ(camera->GetStatus(), Camera::Disconnected);
    EXPECT_TRUE(WaitFor(
        [] { return CountLogMessages("DownloadEvfCommand: sent disconnected frame") >= 2; }));
    EXPECT_EQ(CountLogMessages("DownloadEvfCommand: sent busy frame"), 0);

    // Frame not ready changes nothing and says nothing (the log may grow
    // meanwhile by a periodic reconnect's lines, none of them about it).
    camera->SetStatus(41218u);
    EXPECT_EQ(camera->GetStatus(), Camera::Disconnected);
    EXPECT_EQ(CountLogMessages("ZelError: 41218"), 0);

    // A non-error status replaces an error one; an unlisted code disconnects.
    camera->SetStatus(Camera::Initialized);
    EXPECT_EQ(camera->GetStatus(), Camera::Initialized);
    camera->SetStatus(5u);
    EXPECT_EQ(camera->GetStatus(), Camera::Disconnected);
    EXPECT_TRUE(WaitFor([] { return CountLogMessages("ZelError: 5") == 1; }));
    camera->SetStatus(Camera::Initialized);
    camera->SetStatus(192u);
    EXPECT_EQ(camera->GetStatus(), Camera::Busy);
    // The busy frame goes out at least once: on a slow run the controller's
    // periodic reconnect (the sender waits, the camera does not stream) sends
    // the status frame of the status it finds again.
    EXPECT_TRUE(WaitFor([] {
        return CountLogMessages("ZelError: ZEL_ERR_COMM_PORT_IS_IN_USE") == 1 &&
               CountLogMessages("DownloadEvfCommand: sent busy frame") >= 1;
    }));
}

TEST_F(CameraControllerTest, ReconnectsOnlyWhileASenderExists) {
    CameraController controller(false);
    // More than one quiet period without a sender: no reconnect.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(CountLogMessages("attempting camera reconnect"), 0);
    // With one, the next quiet period reconnects.
    ASSERT_NE(controller.AddFrameSender("waiting", true), nullptr);
    EXPECT_TRUE(WaitFor([] { return CountLogMessages("attempting camera reconnect") >= 1; },
                        std::chrono::seconds(10)));
}

TEST_F(CameraControllerTest, AFrameNobodyTakesStopsStreaming) {
    CameraController controller(false);
    Camera* camera = controller.GetCamera();
    camera->StoreStatus(Camera::SessionOpen);
    unsigned char bytes[] = {0xFF, 0xD8, 0xFF, 0xD9};
    controller.SendFrame(bytes, sizeof bytes);
    // The closing commands run and leave the camera idle.
    EXPECT_TRUE(WaitFor([&] { return camera->GetStatus() == Camera::Idle; }));
    EXPECT_TRUE(
        WaitFor([] { return CountLogMessages("CloseSessionCommand: session closed") == 1; }));
}

TEST_F(CameraControllerTest, SendersLeftAtShutdownAreDestroyedWithTheirFiles) {
    {
        CameraController controller(false);
        ASSERT_NE(controller.AddFrameSender("left", true), nullptr);
        unsigned char bytes[] = {0xFF, 0xD8, 0xFF, 0xD9};
        controller.SendFrame(bytes, sizeof bytes);
        ASSERT_TRUE(WaitFor([] { return FileExists(SandboxFramePath(0)); }));
    }
    EXPECT_FALSE(FileExists(SandboxFramePath(0)));
    const std::vector<std::string> log = LogMessages();
    int stopped = -1;
    int destroyed = -1;
    int grabber = -1;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i] == "camera controller stopped")
            stopped = static_cast<int>(i);
        if (log[i] == "frame sender left destroyed")
            destroyed = static_cast<int>(i);
        if (log[i] == "frame grabber stopped")
            grabber = static_cast<int>(i);
    }
    EXPECT_GE(stopped, 0);
    EXPECT_GT(destroyed, stopped);
    EXPECT_GT(grabber, destroyed);
}

// Each sender has a thread of its own, and a sandbox-mode sender never
// fails: streams asked for under ever new identifiers stop adding senders
// at the cap, with a line for the burst rather than one per request, and
// there is room again once a sender goes.
TEST_F(CameraControllerTest, SendersStopAtTheCapWithOneLineForTheBurst) {
    CameraController controller(false);
    const int cap = static_cast<int>(CameraController::kMaxFrameSenders);
    for (int i = 0; i < cap + 40; ++i)
        controller.AddFrameSender("s" + std::to_string(i), true);
    EXPECT_EQ(FrameSender::Count(), cap);
    EXPECT_EQ(CountLogMessages("frame sender s" + std::to_string(cap) + " not added, " +
                               std::to_string(cap) + " frame senders exist"),
              1);
    int refusals = 0;
    for (const std::string& message : LogMessages())
        refusals += message.find(" frame senders exist") != std::string::npos;
    // A controller pass between two refusals ends the burst; 40 lines would
    // be one a refusal.
    EXPECT_LE(refusals, 2);
    EXPECT_EQ(controller.AddFrameSender("s0", true), nullptr) << "it exists";
    controller.RemoveFrameSender("s5");
    EXPECT_NE(controller.AddFrameSender("again", false), nullptr);
    EXPECT_EQ(FrameSender::Count(), cap);
}

TEST_F(CameraControllerTest, EachIdentifierRefusedWithoutAFramePortIsLoggedInABurst) {
    CameraController controller(false);
    // Back to back, so one burst (a pass that found none waiting would only
    // start another, with a line of its own).
    for (int i = 0; i < 10; ++i) {
        controller.AddRequest("31_StartStreaming", -1);
        controller.AddRequest("32_StartStreaming", -1);
    }
    const std::string line = " not added, the client has no frame port";
    EXPECT_TRUE(WaitFor([&] {
        return CountLogMessages("received: StartStreaming from: 32") == 10 &&
               CountLogMessages("frame sender 32" + line) >= 1;
    })) << "the second identifier of the burst got no line";
    EXPECT_GE(CountLogMessages("frame sender 31" + line), 1);
    // Not a line for every request.
    EXPECT_LT(CountLogMessages("frame sender 31" + line), 10);
    EXPECT_LT(CountLogMessages("frame sender 32" + line), 10);
    EXPECT_EQ(FrameSender::Count(), 0);
}

TEST_F(StreamingControllerTest, CloseSessionFollowsTheStatusItFinds) {
    CameraController controller(false);
    ASSERT_NE(controller.AddFrameSender("commands", true), nullptr);
    Camera* camera = controller.GetCamera();

    // Below SessionOpen there is nothing to close: no SDK call, still Idle.
    camera->StoreStatus(Camera::Initialized);
    EXPECT_EQ(CloseSessionCommand(camera).execute(), 0u);
    EXPECT_EQ(camera->GetStatus(), Camera::Idle);
    const std::vector<std::string> log = LogMessages();
    const int notOpen = FindLogMessage(log, "CloseSessionCommand: session not open");
    ASSERT_GE(notOpen, 0);
    EXPECT_EQ(FindLogMessage(log, "CloseSessionCommand: session closed", notOpen), notOpen + 1);
    EXPECT_EQ(CountCalls("ZelCloseSession"), 0);

    // A close that fails with "port in use" leaves the camera busy, and the
    // clients get the busy frame.
    controller.StartStreaming();
    ASSERT_TRUE(WaitForLogMessage("starting streaming.."));
    Zelsim("fail ZelCloseSession 129");
    controller.StopStreaming();
    ASSERT_TRUE(WaitForLogMessage("CloseSessionCommand: error"));
    EXPECT_TRUE(WaitForLogMessage("ZelError: ZEL_ERR_COMM_PORT_IS_IN_USE"));
    EXPECT_TRUE(WaitForLogMessage("DownloadEvfCommand: sent busy frame"));
    EXPECT_EQ(camera->GetStatus(), Camera::Busy);
}

// The camera commands as the simulator recorded their SDK calls.
TEST_F(StreamingControllerTest, CommandsOfOneStreamingRunInTheCallList) {
    CameraController controller(false);
    ASSERT_NE(controller.AddFrameSender("calls", true), nullptr);
    Camera* camera = controller.GetCamera();
    controller.StartStreaming();
    ASSERT_TRUE(WaitFor([] { return CountCalls("ZelDownloadEvfImage camera=1") >= 10; }));
    controller.StopStreaming();
    ASSERT_TRUE(WaitForLogMessage("CloseSessionCommand: session closed"));
    // Without a sender no periodic check streams again.
    controller.RemoveFrameSender("calls");

    // The run: from its session's opening to its closing, in one reading of
    // the list. A slow run may have seen a periodic reconnect after it; that
    // one's calls come later and are not counted.
    const std::vector<std::string> all = ZelsimCalls();
    const auto opened = std::find_if(all.begin(), all.end(), [](const std::string& call) {
        return call.rfind("ZelOpenSession camera=1 -> 0", 0) == 0;
    });
    const auto closed = std::find_if(opened, all.end(), [](const std::string& call) {
        return call.rfind("ZelCloseSession camera=1", 0) == 0;
    });
    ASSERT_NE(closed, all.end());
    const std::vector<std::string> calls(opened, closed + 1);
    const auto count = [&calls](const std::string& prefix) {
        return std::count_if(calls.begin(), calls.end(), [&prefix](const std::string& call) {
            return call.rfind(prefix, 0) == 0;
        });
    };
    EXPECT_EQ(count("ZelSetPropertyData camera=1 property=11 parameter=0 size=4 value=1 -> 0"), 1);
    EXPECT_EQ(count("ZelSetCapacity camera=1 capacity=2147483647,4096,1 -> 0"), 1);
    // Every download: a memory stream of size 0 and an image on it, each
    // released once.
    int downloads = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].rfind("ZelCreateMemoryStream", 0) != 0)
            continue;
        ++downloads;
        EXPECT_EQ(calls[i].rfind("ZelCreateMemoryStream size=0 -> 0 stream=", 0), 0u) << calls[i];
        const std::string stream = calls[i].substr(calls[i].rfind('=') + 1);
        const std::string imageCall = "ZelCreateEvfImageRef stream=" + stream + " -> 0 image=";
        const auto made = std::find_if(
            calls.begin() + static_cast<long>(i) + 1, calls.end(),
            [&imageCall](const std::string& call) { return call.rfind(imageCall, 0) == 0; });
        ASSERT_NE(made, calls.end()) << "no image on stream " << stream;
        const std::string image = made->substr(imageCall.size());
        EXPECT_EQ(count("ZelRelease ref=" + stream + " -> 0"), 1) << stream;
        EXPECT_EQ(count("ZelRelease ref=" + image + " -> 0"), 1) << image;
    }
    EXPECT_GE(downloads, 10);
    EXPECT_EQ(downloads, count("ZelDownloadEvfImage camera=1"));

    // With the session open again: StopEvfCommand at SessionOpen leaves live
    // view alone, at EvfStarted it switches it off.
    ASSERT_EQ(OpenSessionCommand(camera).execute(), 0u);
    const int liveViewCalls = CountCalls("ZelSetPropertyData camera=1 property=1280");
    const int switchedOff =
        CountCalls("ZelSetPropertyData camera=1 property=1280 parameter=0 size=4 value=0");
    const int alreadyStopped = CountLogMessages("StopEvfCommand: evf already stopped");
    const int stopped = CountLogMessages("StopEvfCommand: evf stopped");
    EXPECT_EQ(StopEvfCommand(camera).execute(), 0u);
    EXPECT_EQ(CountLogMessages("StopEvfCommand: evf already stopped"), alreadyStopped + 1);
    EXPECT_EQ(CountCalls("ZelSetPropertyData camera=1 property=1280"), liveViewCalls);
    camera->StoreStatus(Camera::EvfStarted);
    EXPECT_EQ(StopEvfCommand(camera).execute(), 0u);
    EXPECT_EQ(CountLogMessages("StopEvfCommand: evf stopped"), stopped + 1);
    EXPECT_EQ(CountCalls("ZelSetPropertyData camera=1 property=1280 parameter=0 size=4 value=0"),
              switchedOff + 1);

    // A download while Initialized says so and downloads nothing.
    const int streams = CountCalls("ZelCreateMemoryStream");
    camera->StoreStatus(Camera::Initialized);
    EXPECT_EQ(DownloadEvfCommand(camera).execute(), 0u);
    EXPECT_GE(CountLogMessages("DownloadEvfCommand: not sending status frame since status is 4"),
              1);
    EXPECT_EQ(CountCalls("ZelCreateMemoryStream"), streams);
}

// A camera whose driver reports live view on before the write that switched
// it returns (the simulator handles the event inside that write): the
// property handler stores Streaming before StartEvfCommand stores its own
// status, which must not take it back to EvfStarted.
class EarlyLiveViewEventTest : public StreamingControllerTest {
protected:
    void SetUp() override {
        setenv("ZELSIM_EVF_EVENT", "before-return", 1);
        StreamingControllerTest::SetUp();
    }
};

TEST_F(EarlyLiveViewEventTest, TheStatusStaysStreamingAfterTheStartEvfCommand) {
    CameraController controller(false);
    ASSERT_NE(controller.AddFrameSender("early", true), nullptr);
    Camera* camera = controller.GetCamera();
    controller.StartStreaming();
    ASSERT_TRUE(WaitForLogMessage("StartEvfCommand: evf started"));
    const std::vector<std::string> log = LogMessages();
    const int event = FindLogMessage(log, "starting streaming..");
    ASSERT_GE(event, 0);
    EXPECT_GT(FindLogMessage(log, "StartEvfCommand: evf started", event), event)
        << "the event came after the command";

    // Downloads run, which they do only while Streaming, and the status
    // they find is never EvfStarted.
    EXPECT_TRUE(WaitFor([] { return CountCalls("ZelDownloadEvfImage camera=1") >= 5; }));
    EXPECT_EQ(camera->GetStatus(), Camera::Streaming);
    EXPECT_EQ(CountLogMessages("DownloadEvfCommand: not sending status frame since status is 6"),
              0);
}

TEST_F(StreamingControllerTest, NoHandlerReachesAControllerThatIsGone) {
    auto controller = std::make_unique<CameraController>(false);
    ASSERT_NE(controller->AddFrameSender("events", true), nullptr);
    controller->StartStreaming();
    ASSERT_TRUE(WaitFor([] { return CountLogMessages("starting streaming..") == 1; }));
    controller.reset();

    // The SDK still holds the handlers, with the destroyed camera as their
    // context: events now reach nothing (a sanitizer run would catch a use).
    Zelsim("shutdown-soon");
    ZelTerminateSDK(); // waits for a handler that runs
    ASSERT_EQ(ZelInitializeSDK(), 0u);
    EXPECT_EQ(CountLogMessages("state event: camera shutting down soon"), 0);
}

// Settings requests through the request port while the camera streams:
// clients on two threads set and act while the camera body changes a
// setting and the stream goes on; when streaming stops, no change that was
// still waiting is left pending, and the settings are gone until the next
// session reads them again.
class SettingsControllerTest : public StreamingControllerTest {
protected:
    // Small pictures: every changed look is drawn again per frame, which a
    // ThreadSanitizer build does slowly.
    void SetUp() override {
        setenv("ZELSIM_SIZE", "320x240", 1);
        StreamingControllerTest::SetUp();
    }
};

TEST_F(SettingsControllerTest, SettingsWhileStreamingAndWhenItStops) {
    CameraController controller(false);
    ASSERT_NE(controller.AddFrameSender("settings", true), nullptr);
    Camera* camera = controller.GetCamera();
    controller.StartStreaming();
    ASSERT_TRUE(WaitFor([camera] { return camera->GetStatus() == Camera::Streaming; }));
    CVLSettings settings;
    std::string error;
    std::vector<CVLSetting> list;
    ASSERT_TRUE(WaitFor([&] { return settings.List(list, error); })) << error;
    EXPECT_EQ(list.size(), 8u);

    auto client = [](const char* name, std::vector<std::string> values) {
        CVLSettings own;
        std::string why;
        for (int round = 0; round < 5; ++round)
            for (const std::string& value : values)
                EXPECT_TRUE(own.Set(name, value, why) || why == "replaced by a newer value") << why;
    };
    std::thread first(client, "iso", std::vector<std::string>{"200", "800"});
    std::thread second(client, "white-balance", std::vector<std::string>{"cloudy", "auto"});
    int status = -1;
    Zelsim("set aperture 80", &status);
    EXPECT_EQ(status, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(settings.Act("focus far", error)) << error;
    first.join();
    second.join();
    EXPECT_TRUE(WaitFor([&] {
        CVLSetting aperture;
        return settings.Get("aperture", aperture, error) && aperture.value == "8";
    }));
    EXPECT_GE(CountCalls("ZelDownloadEvfImage camera=1"), 1);

    const uint64_t ticket = settings.SubmitSet("iso", "1600", error);
    ASSERT_NE(ticket, 0u) << error;
    controller.StopStreaming();
    controller.RemoveFrameSender("settings");
    CVLSettings::Outcome outcome = CVLSettings::Outcome::Pending;
    EXPECT_TRUE(WaitFor([&] {
        outcome = settings.GetOutcome(ticket, error);
        return outcome != CVLSettings::Outcome::Pending;
    }));
    if (outcome == CVLSettings::Outcome::Failed) {
        EXPECT_EQ(error, "the camera stopped streaming before the change");
    }
    ASSERT_TRUE(WaitForLogMessage("CloseSessionCommand: session closed"));
    EXPECT_FALSE(settings.List(list, error));
    EXPECT_EQ(error,
              "no camera connected; settings can be read and changed while a client streams");
}

} // namespace
} // namespace cvl::test
