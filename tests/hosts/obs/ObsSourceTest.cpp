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

std::string SceneItemRequest(const std::string& scene, int id, bool enabled) {
    return "{\"sceneName\":\"" + scene + "\",\"sceneItemId\":" + std::to_string(id) +
           ",\"sceneItemEnabled\":" + (enabled ? "true" : "false") + "}";
}

// The number after "key": in a line of JSON, or -1.
long NumberAfter(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::atol(json.c_str() + at + key.size() + 4);
}

// The text after "key": in a line of JSON.
std::string TextAfter(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": \"");
    if (at == std::string::npos)
        return "";
    const size_t from = at + key.size() + 5;
    return json.substr(from, json.find('"', from) - from);
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
    const long itemA = NumberAfter(answer, "sceneItemId");
    ASSERT_GE(itemA, 0) << answer;
    EXPECT_TRUE(WaitForLogMessage(started, 1, seconds(60))) << obs.Log();
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::Busy)) << obs.Log();
    other.StopStreaming();
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::Bars)) << obs.Log();

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
    const long itemB = NumberAfter(answer, "sceneItemId");
    ASSERT_GE(itemB, 0) << answer;
    EXPECT_TRUE(obs.WaitForShown("Camera B", Shown::Bars)) << obs.Log();
    EXPECT_TRUE(obs.WaitForShown("Camera A", Shown::Bars)) << obs.Log();
    EXPECT_EQ(FramePortsOf(obs.Pid()), 1);
    const int starts = CountLogMessages(started);
    EXPECT_EQ(starts, beforeB);

    // Both hidden: the stream ends after the linger time; shown again, it
    // starts again.
    ASSERT_TRUE(obs.Request("SetSceneItemEnabled",
                            SceneItemRequest(scene, static_cast<int>(itemA), false), &answer))
        << answer;
    ASSERT_TRUE(obs.Request("SetSceneItemEnabled",
                            SceneItemRequest(scene, static_cast<int>(itemB), false), &answer))
        << answer;
    const int stops = CountLogMessages(stopped);
    EXPECT_TRUE(WaitForLogMessage(stopped, stops + 1, seconds(60))) << obs.Log();
    EXPECT_TRUE(WaitFor([&] { return FramePortsOf(obs.Pid()) == 0; }, seconds(30)));
    ASSERT_TRUE(obs.Request("SetSceneItemEnabled",
                            SceneItemRequest(scene, static_cast<int>(itemB), true), &answer))
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
