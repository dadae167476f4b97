// Every application at once on the installed package: the package installed
// into a throw-away root and its enabled units run in a private desktop
// session against the PTP/IP test camera (as in JourneyTest), OBS Studio
// started in place so that it loads modules from Debian's OBS module folder
// where the package put the source, headless Chromium capturing "Corvalink
// Camera", a pipewiresrc pipeline on the node, cvl-web read as a player
// reads it, and a GStreamer program with the package's cvlsrc. Started in
// two orders, every one shows live frames, the service serves one stream at
// a time, and when the last one closes the stream ends.
#include "CameraPage.h"
#include "CameraProcess.h"
#include "CameraRun.h"
#include "DesktopSession.h"
#include "HeadlessBrowser.h"
#include "HttpProbe.h"
#include "InstalledRoot.h"
#include "NodeConsumer.h"
#include "ObsStudio.h"
#include "RequestSender.h"
#include "TestSupport.h"
#include "UnitSupervisor.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>

namespace cvl::test {
namespace {

using std::chrono::seconds;

const char kCameraLabel[] = "Corvalink Camera";
const std::string kUnits = "/usr/lib/systemd/user/";
const std::string kLog = kPackageRoot +
                         "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/Resources/"
                         "log.txt";
// The node carries one format for all its consumers, and browsers take a
// raw one: the pipeline takes the same.
const char kRaw[] = "video/x-raw,format=I420";
constexpr char kStart[] = "received: StartStreaming from: ";
constexpr char kStop[] = "received: StopStreaming from: ";
// Every wait for live frames: generous, the machine is shared.
constexpr seconds kLive{90};

// The service's stream requests in its log, in order.
struct Requests {
    std::vector<std::string> starters; // the sender of each StartStreaming
    std::set<std::string> streaming;   // senders whose stream has not ended
    size_t mostAtOnce = 0;             // most streams open at one time
};

Requests ReadRequests(const InstalledRoot& root) {
    Requests requests;
    std::string text;
    ReadFile(root.Path() + kLog, text);
    for (const std::string& line : SplitLines(text)) {
        size_t at = line.find(kStart);
        if (at != std::string::npos) {
            const std::string sender = line.substr(at + sizeof kStart - 1);
            requests.starters.push_back(sender);
            requests.streaming.insert(sender);
        } else if ((at = line.find(kStop)) != std::string::npos) {
            requests.streaming.erase(line.substr(at + sizeof kStop - 1));
        }
        requests.mostAtOnce = std::max(requests.mostAtOnce, requests.streaming.size());
    }
    return requests;
}

// The senders that asked for the stream after the first `from` requests.
std::set<std::string> StartersSince(const InstalledRoot& root, size_t from) {
    const std::vector<std::string> all = ReadRequests(root).starters;
    return std::set<std::string>(all.begin() + static_cast<long>(std::min(from, all.size())),
                                 all.end());
}

// The service's frame ports: one for each client stream.
int FramePorts() {
    int count = 0;
    if (DIR* dir = opendir((RuntimeFolder() + "/CFMessagePort").c_str())) {
        while (dirent* entry = readdir(dir))
            count += std::string(entry->d_name).find(".Frame.") != std::string::npos;
        closedir(dir);
    }
    return count;
}

bool ShowsLiveBars(const CameraView& view) {
    return view.Playing() && ShowsColourBars(view.picture, 5);
}

// OBS's source shows the camera's bars, and a new picture after that.
bool ObsLive(ObsStudio& obs, const std::string& source) {
    Picture first;
    return WaitFor(
        [&] {
            const Picture picture = obs.Screenshot(source);
            if (picture.Empty() || Classify(picture) != Shown::Bars)
                return false;
            if (first.Empty()) {
                first = picture;
                return false;
            }
            return MeanDifference(first, picture) > 0;
        },
        kLive);
}

// The browser's page plays new pictures of the bars.
bool BrowserLive(const CameraPage& page) {
    const CameraView now = page.Latest();
    return ShowsLiveBars(page.WaitForView(
        [&](const CameraView& view) {
            return ShowsLiveBars(view) && view.distinct >= now.distinct + 5;
        },
        kLive, page.Reports()));
}

// The pipeline gets new pictures of the bars: raw pictures carry no stamp,
// so new ones are told apart by their colour means (the camera's pictures
// number themselves and move a bar and a disc; a repeated picture has the
// same means).
bool PipelineLive(NodeConsumer& consumer) {
    const size_t from = consumer.Count();
    return consumer.WaitFor(
        [&](const std::vector<Consumed>& frames) {
            std::set<std::tuple<double, double, double>> pictures;
            for (size_t i = from; i < frames.size(); ++i)
                if (frames[i].shown == Shown::Bars)
                    pictures.insert({frames[i].red, frames[i].green, frames[i].blue});
            return pictures.size() >= 5;
        },
        kLive);
}

// cvl-web of the installation, started in place as a user starts it.
class InstalledWeb {
public:
    InstalledWeb(const InstalledRoot& root, const std::map<std::string, std::string>& environment)
        : m_log(TempFolder() + "/web-" + std::to_string(++s_runs) + ".log") {
        m_pid = root.SpawnInPlace("corvalink-web --listen 127.0.0.1:0 >&2", environment, m_log);
    }
    ~InstalledWeb() { Stop(); }
    InstalledWeb(const InstalledWeb&) = delete;
    InstalledWeb& operator=(const InstalledWeb&) = delete;

    pid_t Pid() const { return m_pid; }
    // Until its "serving" line names the port.
    bool WaitServing() {
        return WaitFor(
            [&] {
                std::string text;
                ReadFile(m_log, text);
                const size_t at = text.find("serving http://127.0.0.1:");
                if (at == std::string::npos || text.find('\n', at) == std::string::npos)
                    return false;
                m_port = static_cast<uint16_t>(std::atoi(text.c_str() + at + 25));
                return m_port != 0;
            },
            seconds(30));
    }
    // A player of its MJPEG stream gets ten new stamped frames within a few
    // seconds (status pictures carry no stamp).
    bool Live() {
        return WaitFor(
            [&] {
                StreamViewer viewer(m_port);
                viewer.Watch(seconds(4));
                viewer.Join();
                return viewer.Distinct() >= 10;
            },
            kLive);
    }
    // As "systemctl --user stop" ends it; its exit status, or -1.
    int Stop() {
        if (m_pid <= 0)
            return -1;
        kill(m_pid, SIGTERM);
        int status = 0;
        if (!WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, seconds(30))) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Log() const {
        std::string text;
        ReadFile(m_log, text);
        return "--- cvl-web\n" + text;
    }

private:
    static inline int s_runs = 0;
    std::string m_log;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

// gst-launch with the package's cvlsrc from the system's plug-in folder, run
// in place as a user runs it (no CVL_ROOT, no plug-in path): the element
// says that its frames are live, and never that the camera is busy.
bool InstalledCvlSrcLive(const InstalledRoot& root, std::string& output) {
    const std::string command =
        "env -u CVL_ROOT -u GST_PLUGIN_PATH -u GST_PLUGIN_PATH_1_0 -u GST_PLUGIN_SYSTEM_PATH "
        "-u GST_PLUGIN_SYSTEM_PATH_1_0 -u GST_REGISTRY_FORK GST_REGISTRY_1_0=" +
        ShellQuote(TempFolder() + "/installed-registry.bin") +
        " timeout 120 gst-launch-1.0 -m cvlsrc num-buffers=150 ! fakesink";
    return root.RunInPlace(command, output) == 0 &&
           output.find("cvlsrc-status, live=(boolean)true") != std::string::npos &&
           output.find("camera busy") == std::string::npos;
}

TEST(EveryApplication, ShowsTheInstalledCameraAtOnceInAnyOrderOnOneStream) {
    ASSERT_TRUE(HeadlessBrowser::Installed(BrowserKind::Chromium));
    InstalledRoot root;
    std::string output;
    ASSERT_TRUE(root.Install(output)) << output;
    if (!root.CanRunInPlace())
        GTEST_SKIP() << "no mount namespace to put the installation in place";
    ASSERT_TRUE(FileExists(root.Path() + CVL_PACKAGE_LIBDIR "/obs-plugins/corvalink-camera.so"));

    CameraProcess camera;
    ASSERT_TRUE(camera.Start(25));
    unsetenv("CVL_GPHOTO2_PORT");
    const std::string config = MakeFolder("config");
    MakeFolder("config/corvalink");
    ASSERT_TRUE(WriteFile(config + "/corvalink/camera.conf",
                          "CVL_GPHOTO2_PORT=" + camera.GphotoPort() + "\n"));

    DesktopSession session;
    ASSERT_TRUE(session.Start()) << session.Errors();
    std::map<std::string, std::string> environment = {{"XDG_CONFIG_HOME", config}};
    for (const std::string& name : DesktopSession::ClientEnvironmentRemoved())
        environment[name] = "";
    for (const std::string& entry : session.ClientEnvironment())
        environment[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    // The pipeline in this process is a client of the session too.
    setenv("PIPEWIRE_RUNTIME_DIR", session.PipeWireRuntimeDir().c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");

    auto unitText = [&](const std::string& unit) {
        std::string text;
        EXPECT_TRUE(ReadFile(root.Path() + kUnits + unit, text)) << unit;
        return text;
    };
    UnitSupervisor service(root, unitText("corvalink.service"), environment,
                           TempFolder() + "/service.log");
    UnitSupervisor node(root, unitText("corvalink-camera.service"), environment,
                        TempFolder() + "/camera-node.log");
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(node.Start());
    auto logs = [&] {
        std::string serviceLog, nodeLog, requests;
        ReadFile(TempFolder() + "/service.log", serviceLog);
        ReadFile(TempFolder() + "/camera-node.log", nodeLog);
        for (const std::string& starter : ReadRequests(root).starters)
            requests += " " + starter;
        return "--- service stderr\n" + serviceLog + "--- camera node\n" + nodeLog +
               "--- stream asked for by:" + requests + "\n" + session.Errors();
    };
    ASSERT_TRUE(WaitFor([] { return RequestPortServed(); }, seconds(30))) << logs();
    ASSERT_TRUE(session.WaitForNode(kCameraLabel, seconds(60))) << logs();

    // OBS as a user starts it: no CVL_ROOT, no plug-in of its own
    // configuration; the package's module is found in OBS's module folder.
    ObsStudio obs;
    ObsLaunch launch;
    launch.stagedModule = false;
    launch.wrapper = root.InPlaceWords();
    launch.removed = {"CVL_ROOT", "LD_LIBRARY_PATH", "LD_PRELOAD", "PIPEWIRE_RUNTIME_DIR"};
    std::string error;
    ASSERT_TRUE(obs.Start(error, launch)) << error;
    std::string answer;
    ASSERT_TRUE(obs.Request("GetInputKindList", "{}", &answer)) << answer;
    ASSERT_NE(answer.find("\"corvalink_camera\""), std::string::npos) << answer << obs.Log();
    ASSERT_TRUE(obs.Request("GetSceneList", "{}", &answer)) << answer;
    const std::string scene = TextAfter(answer, "currentProgramSceneName");
    ASSERT_FALSE(scene.empty()) << answer;
    const std::string obsPid = std::to_string(obs.Pid());

    PageServer server;
    ASSERT_TRUE(server.Start());
    CameraPage page(server);
    auto openBrowser = [&](HeadlessBrowser& browser) {
        const CameraView view =
            OpenCameraPage(browser, page, page.Url(), ShowsLiveBars, seconds(120));
        EXPECT_EQ(view.label, kCameraLabel);
        return ShowsLiveBars(view);
    };
    auto oneStream = [&] {
        const Requests requests = ReadRequests(root);
        EXPECT_LE(requests.mostAtOnce, 1u) << logs();
        EXPECT_EQ(FramePorts(), 1);
    };

    // OBS first, then the node's consumers, then cvl-web: OBS's source owns
    // the stream and every other one reads it.
    size_t before = ReadRequests(root).starters.size();
    ASSERT_TRUE(obs.Request("CreateInput",
                            "{\"sceneName\":\"" + scene +
                                "\",\"inputName\":\"Camera\",\"inputKind\":\"corvalink_camera\","
                                "\"sceneItemEnabled\":true}",
                            &answer))
        << answer;
    const long item = static_cast<long>(NumberAfter(answer, "sceneItemId"));
    ASSERT_TRUE(ObsLive(obs, "Camera")) << obs.Log() << logs();
    EXPECT_EQ(StartersSince(root, before), std::set<std::string>{obsPid}) << logs();
    auto chromium = std::make_unique<HeadlessBrowser>(BrowserKind::Chromium, session);
    ASSERT_TRUE(openBrowser(*chromium)) << chromium->Log() << logs();
    auto pipeline = std::make_unique<NodeConsumer>(kRaw);
    ASSERT_TRUE(pipeline->Play()) << pipeline->Error();
    EXPECT_TRUE(PipelineLive(*pipeline)) << pipeline->Error() << logs();
    auto web = std::make_unique<InstalledWeb>(root, environment);
    ASSERT_TRUE(web->WaitServing()) << web->Log();
    EXPECT_TRUE(web->Live()) << web->Log() << logs();
    // All at once, on OBS's one stream.
    EXPECT_TRUE(ObsLive(obs, "Camera")) << obs.Log();
    EXPECT_TRUE(BrowserLive(page)) << chromium->Log();
    EXPECT_TRUE(PipelineLive(*pipeline));
    EXPECT_EQ(StartersSince(root, before), std::set<std::string>{obsPid}) << logs();
    oneStream();

    // The owner leaves first: after its linger its stream ends and one of
    // the others asks for the stream; the rest stay live.
    ASSERT_TRUE(obs.Request("SetSceneItemEnabled", SceneItemRequest(scene, item, false), &answer))
        << answer;
    EXPECT_TRUE(WaitFor([&] { return StartersSince(root, before).size() == 2; }, kLive)) << logs();
    EXPECT_TRUE(BrowserLive(page)) << chromium->Log() << logs();
    EXPECT_TRUE(PipelineLive(*pipeline)) << logs();
    EXPECT_TRUE(web->Live()) << web->Log() << logs();
    oneStream();
    // Then the browser, the pipeline and cvl-web: once the last is gone the
    // service's stream has ended.
    chromium->Close();
    chromium.reset();
    pipeline->Stop();
    pipeline.reset();
    EXPECT_EQ(web->Stop(), 0) << web->Log();
    web.reset();
    EXPECT_TRUE(WaitFor([&] { return ReadRequests(root).streaming.empty(); }, kLive)) << logs();
    EXPECT_TRUE(WaitFor([] { return FramePorts() == 0; }, kLive));
    EXPECT_LE(ReadRequests(root).mostAtOnce, 1u) << logs();

    // cvl-web first, then a pipeline, OBS and the browser. The node may
    // still have taken the stream over when cvl-web went while its linger
    // ran: cvl-web then reads it until that ends, and takes the stream.
    web = std::make_unique<InstalledWeb>(root, environment);
    ASSERT_TRUE(web->WaitServing()) << web->Log();
    ASSERT_TRUE(web->Live()) << web->Log() << logs();
    const std::string webPid = std::to_string(web->Pid());
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::vector<std::string> starters = ReadRequests(root).starters;
            return !starters.empty() && starters.back() == webPid;
        },
        kLive))
        << logs();
    before = ReadRequests(root).starters.size() - 1;
    pipeline = std::make_unique<NodeConsumer>(kRaw);
    ASSERT_TRUE(pipeline->Play()) << pipeline->Error();
    EXPECT_TRUE(PipelineLive(*pipeline)) << pipeline->Error() << logs();
    ASSERT_TRUE(obs.Request("SetSceneItemEnabled", SceneItemRequest(scene, item, true), &answer))
        << answer;
    EXPECT_TRUE(ObsLive(obs, "Camera")) << obs.Log() << logs();
    chromium = std::make_unique<HeadlessBrowser>(BrowserKind::Chromium, session);
    ASSERT_TRUE(openBrowser(*chromium)) << chromium->Log() << logs();
    EXPECT_TRUE(web->Live()) << web->Log();
    EXPECT_TRUE(PipelineLive(*pipeline));
    EXPECT_TRUE(ObsLive(obs, "Camera")) << obs.Log();
    // A GStreamer program with the package's cvlsrc, found in GStreamer's
    // own plug-in folder, joins them.
    EXPECT_TRUE(InstalledCvlSrcLive(root, output)) << output << logs();
    EXPECT_EQ(StartersSince(root, before), std::set<std::string>{webPid}) << logs();
    oneStream();

    // The browser, the pipeline, cvl-web (the owner: OBS takes the stream
    // over and stays live), and last OBS's source.
    chromium->Close();
    chromium.reset();
    pipeline->Stop();
    pipeline.reset();
    EXPECT_EQ(web->Stop(), 0) << web->Log();
    web.reset();
    // OBS ends up with the stream; the node may have it in between, when
    // cvl-web went while the node's linger still ran, until that ends.
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::vector<std::string> starters = ReadRequests(root).starters;
            return !starters.empty() && starters.back() == obsPid;
        },
        kLive))
        << logs();
    EXPECT_TRUE(ObsLive(obs, "Camera")) << obs.Log() << logs();
    oneStream();
    ASSERT_TRUE(obs.Request("SetSceneItemEnabled", SceneItemRequest(scene, item, false), &answer))
        << answer;
    EXPECT_TRUE(WaitFor([&] { return ReadRequests(root).streaming.empty(); }, kLive)) << logs();
    EXPECT_TRUE(WaitFor([] { return FramePorts() == 0; }, kLive));
    EXPECT_LE(ReadRequests(root).mostAtOnce, 1u) << logs();

    server.Stop();
    EXPECT_EQ(node.Stop(seconds(30)), 0) << logs();
    EXPECT_EQ(service.Stop(seconds(30)), 0) << logs();
}

} // namespace
} // namespace cvl::test
