// The "Corvalink Camera" source in a real OBS Studio 29, driven through
// obs-websocket, against the real service of the test's staged installation
// and its simulated camera. One OBS for the whole run: it is slow to start.
#include "ObsStudio.h"
#include "ServiceHarness.h"
#include "TestSupport.h"
#include "Zelsim.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

namespace cvl::test {
namespace {

// The frame ports that the process pid holds: one a client stream.
int FramePortsOf(pid_t pid) {
    int count = 0;
    const std::string suffix = ".Frame." + std::to_string(pid);
    if (DIR* dir = opendir((RuntimeFolder() + "/CFMessagePort").c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            count += name.size() >= suffix.size() &&
                     name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        }
        closedir(dir);
    }
    return count;
}

// The mean of every channel of every pixel: 0 to 255, -1 for no picture.
double Brightness(const Picture& picture) {
    if (picture.Empty())
        return -1;
    double sum = 0;
    for (unsigned char value : picture.rgb)
        sum += value;
    return sum / static_cast<double>(picture.rgb.size());
}

// Until source's settings (GetInputSettings) hold value for name; answer:
// the last response.
bool WaitForSetting(ObsStudio& obs, const std::string& source, const std::string& name,
                    const std::string& value, std::string& answer) {
    return WaitFor(
        [&] {
            return obs.Request("GetInputSettings", "{\"inputName\":\"" + source + "\"}", &answer) &&
                   TextAfter(answer, name) == value;
        },
        seconds(60));
}

// The camera's settings as the source's properties, against the simulated
// camera: the menus list the camera's values, a change through the
// websocket reaches the camera and the picture, a button runs its action,
// and a change on the camera body shows in the source's settings.
void CheckCameraSettings(ObsStudio& obs, const std::string& source) {
    const std::string input = "{\"inputName\":\"" + source + "\"";
    std::string answer;
    EXPECT_TRUE(WaitFor(
        [&] {
            return obs.Request("GetInputPropertiesListPropertyItems",
                               input + ",\"propertyName\":\"exposure-compensation\"}", &answer) &&
                   answer.find("\"itemValue\": \"+2\"") != std::string::npos &&
                   answer.find("\"itemName\": \"+2 EV\"") != std::string::npos;
        },
        seconds(60)))
        << answer;
    ASSERT_TRUE(obs.Request("GetInputPropertiesListPropertyItems",
                            input + ",\"propertyName\":\"white-balance\"}", &answer))
        << answer;
    EXPECT_NE(answer.find("\"itemValue\": \"tungsten\""), std::string::npos) << answer;
    // The source's settings hold the camera's values.
    EXPECT_TRUE(WaitForSetting(obs, source, "exposure-compensation", "0", answer)) << answer;
    const std::string iso = TextAfter(answer, "iso");
    EXPECT_FALSE(iso.empty()) << answer;

    // Changed through the websocket: the camera takes it, the picture shows
    // it, and the settings keep the new value.
    const double plain = Brightness(obs.Screenshot(source));
    ASSERT_GT(plain, 10);
    ASSERT_TRUE(obs.Request("SetInputSettings",
                            input + ",\"inputSettings\":{\"exposure-compensation\":\"+2\"}}",
                            &answer))
        << answer;
    double brighter = plain;
    EXPECT_TRUE(WaitFor(
        [&] {
            brighter = Brightness(obs.Screenshot(source));
            return brighter > plain + 20;
        },
        seconds(60)))
        << plain << " then " << brighter;
    ASSERT_TRUE(obs.Request("GetInputSettings", input + "}", &answer)) << answer;
    EXPECT_EQ(TextAfter(answer, "exposure-compensation"), "+2") << answer;
    ASSERT_TRUE(obs.Request("SetInputSettings",
                            input + ",\"inputSettings\":{\"exposure-compensation\":\"0\"}}",
                            &answer))
        << answer;
    EXPECT_TRUE(obs.WaitForShown(source, Shown::Bars)) << obs.Log();

    // A value the camera does not have: refused and said in OBS's log; the
    // settings show the camera's value again.
    ASSERT_TRUE(obs.Request("SetInputSettings",
                            input + ",\"inputSettings\":{\"exposure-compensation\":\"+9\"}}",
                            &answer))
        << answer;
    EXPECT_TRUE(WaitFor(
        [&] {
            return obs.Log().find("the camera did not take \"exposure-compensation +9\"") !=
                   std::string::npos;
        },
        seconds(60)))
        << obs.Log();
    EXPECT_TRUE(WaitForSetting(obs, source, "exposure-compensation", "0", answer)) << answer;

    // The buttons: autofocus runs and the picture plays on.
    const int focused = CountCalls("ZelSendCommand");
    ASSERT_TRUE(obs.Request("PressInputPropertiesButton",
                            input + ",\"propertyName\":\"autofocus\"}", &answer))
        << answer;
    EXPECT_TRUE(WaitFor([&] { return CountCalls("ZelSendCommand") > focused; }, seconds(60)));
    EXPECT_TRUE(obs.WaitForShown(source, Shown::Bars)) << obs.Log();

    // A change on the camera body reaches the source's settings.
    Zelsim("set iso 3200");
    EXPECT_TRUE(WaitForSetting(obs, source, "iso", "3200", answer)) << answer;
    Zelsim("set iso " + iso);
    EXPECT_TRUE(WaitForSetting(obs, source, "iso", iso, answer)) << answer;
    EXPECT_TRUE(obs.WaitForShown(source, Shown::Bars)) << obs.Log();
}

TEST(ObsSource, ShowsTheCameraFollowsItAndHoldsTheStreamOnlyWhileShown) {
    ChildClient other; // forked before this process starts any thread
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    ObsStudio obs;
    std::string error;
    ASSERT_TRUE(obs.Start(error)) << error;
    const std::string pid = std::to_string(obs.Pid());
    const std::string started = "received: StartStreaming from: " + pid;
    const std::string stopped = "received: StopStreaming from: " + pid;

    std::string answer;
    ASSERT_TRUE(obs.Request("GetInputKindList", "{}", &answer)) << answer;
    EXPECT_NE(answer.find("\"corvalink_camera\""), std::string::npos) << answer;
    ASSERT_TRUE(obs.Request("GetSceneList", "{}", &answer)) << answer;
    const std::string scene = TextAfter(answer, "currentProgramSceneName");
    ASSERT_FALSE(scene.empty()) << answer;
    EXPECT_EQ(CountLogMessages(started), 0);

    // Another program holds the service's one stream: the source, shown in
    // the program scene (active), asks for the stream and shows that the
    // camera is busy; once the other lets go, the camera.
    other.StartStreaming();
    ASSERT_TRUE(WaitFor([&] { return other.LiveFrames() > 0; }, seconds(30)));
    ASSERT_TRUE(obs.Request("CreateInput",
                            "{\"sceneName\":\"" + scene +
                                "\",\"inputName\":\"Camera A\",\"inputKind\":\"corvalink_camera\","
                                "\"sceneItemEnabled\":true}",
                            &answer))
        << answer;
    const long itemA = static_cast<long>(NumberAfter(answer, "sceneItemId"));
    ASSERT_GE(itemA, 0) << answer;
    EXPECT_TRUE(WaitForLogMessage(started, 1, seconds(60))) << obs.Log();
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::Busy)) << obs.Log();
    other.StopStreaming();
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::Bars)) << obs.Log();

    CheckCameraSettings(obs, "Camera A");

    // The camera unplugged and plugged in again.
    Zelsim("unplug");
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::NoCamera)) << obs.Log();
    Zelsim("plug");
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::Bars)) << obs.Log();

    // The service killed: the waiting picture, never a frozen frame; a new
    // service streams to the source by itself.
    kill(service.Pid(), SIGKILL);
    service.WaitForExit();
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::Waiting)) << obs.Log();
    // Without a service the source offers no camera settings.
    EXPECT_TRUE(WaitFor(
        [&] {
            return !obs.Request("GetInputPropertiesListPropertyItems",
                                "{\"inputName\":\"Camera A\",\"propertyName\":\"iso\"}", &answer);
        },
        seconds(60)))
        << answer;
    // The new service writes a new log.
    ServiceProcess again;
    ASSERT_TRUE(again.Start());
    EXPECT_TRUE(WaitForLogMessage(started, 1, seconds(60)));
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::Bars)) << obs.Log();

    // A second source in the same OBS joins the one client stream: both
    // show the camera, and the service is not asked again.
    const int beforeB = CountLogMessages(started);
    ASSERT_TRUE(obs.Request("CreateInput",
                            "{\"sceneName\":\"" + scene +
                                "\",\"inputName\":\"Camera B\",\"inputKind\":\"corvalink_camera\","
                                "\"sceneItemEnabled\":true}",
                            &answer))
        << answer;
    const long itemB = static_cast<long>(NumberAfter(answer, "sceneItemId"));
    ASSERT_GE(itemB, 0) << answer;
    EXPECT_TRUE(obs.WaitForShown("Camera B", Shown::Bars)) << obs.Log();
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::Bars)) << obs.Log();
    EXPECT_EQ(FramePortsOf(obs.Pid()), 1);
    const int starts = CountLogMessages(started);
    EXPECT_EQ(starts, beforeB);

    // Both hidden: the stream ends after the linger time; shown again, it
    // starts again.
    ASSERT_TRUE(obs.Request("SetSceneItemEnabled", SceneItemRequest(scene, itemA, false), &answer))
        << answer;
    ASSERT_TRUE(obs.Request("SetSceneItemEnabled", SceneItemRequest(scene, itemB, false), &answer))
        << answer;
    const int stops = CountLogMessages(stopped);
    EXPECT_TRUE(WaitForLogMessage(stopped, stops + 1, seconds(60))) << obs.Log();
    EXPECT_TRUE(WaitFor([&] { return FramePortsOf(obs.Pid()) == 0; }, seconds(30)));
    ASSERT_TRUE(obs.Request("SetSceneItemEnabled", SceneItemRequest(scene, itemB, true), &answer))
        << answer;
    EXPECT_TRUE(WaitForLogMessage(started, starts + 1, seconds(60)));
    EXPECT_TRUE(obs.WaitForShown("Camera B", Shown::Bars)) << obs.Log();

    // Removed while streaming: the stream ends, OBS goes on.
    ASSERT_TRUE(obs.Request("RemoveInput", "{\"inputName\":\"Camera B\"}", &answer)) << answer;
    ASSERT_TRUE(obs.Request("RemoveInput", "{\"inputName\":\"Camera A\"}", &answer)) << answer;
    EXPECT_TRUE(WaitForLogMessage(stopped, stops + 2, seconds(60))) << obs.Log();
    EXPECT_TRUE(obs.Request("GetVersion"));
}

} // namespace
} // namespace cvl::test
