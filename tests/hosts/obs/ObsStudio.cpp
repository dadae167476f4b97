#include "ObsStudio.h"

#include "TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace cvl::test {

namespace {

// The websocket's port on OBS's own loopback: nothing else listens there.
constexpr int kWebSocketPort = 4455;

std::string RequestScript() {
    return SourceDir() + "/tests/hosts/obs/obs-request.py";
}

std::string ScreenshotsScript() {
    return SourceDir() + "/tests/hosts/obs/obs-screenshots.py";
}

} // namespace

ObsStudio::~ObsStudio() {
    m_obs.Stop(std::chrono::seconds(10));
    m_xvfb.Stop(std::chrono::seconds(5));
}

bool ObsStudio::Start(std::string& error) {
    return Start(error, ObsLaunch());
}

bool ObsStudio::Start(std::string& error, const ObsLaunch& launch) {
    // Xvfb picks a free display and writes its number to descriptor 3.
    const std::string displayFile = TempFolder() + "/obs-display";
    if (!m_xvfb.Start({"sh", "-c",
                       "exec Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset "
                       "3>\"$0\"",
                       displayFile},
                      ChildProcess::EnvironmentWith({}), TempFolder() + "/xvfb.log")) {
        error = "cannot start Xvfb";
        return false;
    }
    std::string display;
    if (!WaitFor(
            [&] {
                return ReadFile(displayFile, display) && display.find('\n') != std::string::npos;
            },
            std::chrono::seconds(30))) {
        error = "Xvfb gave no display: " + m_xvfb.Log();
        return false;
    }
    display = ":" + display.substr(0, display.find('\n'));

    m_home = MakeFolder("obs-home");
    const std::string config = m_home + "/.config/obs-studio";
    MakeFolder("obs-home/.config/obs-studio");
    if (launch.stagedModule) {
        const std::string module = config + "/plugins/corvalink-camera";
        MakeFolder("obs-home/.config/obs-studio/plugins/corvalink-camera/bin/64bit");
        if (RunCommand(
                "cp " +
                ShellQuote(InstallRoot() + "/" CVL_OBS_PLUGIN_FOLDER "/corvalink-camera.so") + " " +
                ShellQuote(module + "/bin/64bit/")) != 0) {
            error = "the staged installation has no OBS module";
            return false;
        }
    }
    WriteFile(config + "/global.ini", "[General]\nFirstRun=false\n\n[OBSWebSocket]\n"
                                      "ServerEnabled=true\nServerPort=" +
                                          std::to_string(kWebSocketPort) +
                                          "\nAuthRequired=false\nFirstLoad=false\n"
                                          "AlertsEnabled=false\n");

    std::vector<std::string> variables = {
        "HOME=" + m_home, "XDG_CONFIG_HOME=" + m_home + "/.config", "DISPLAY=" + display,
        "LIBGL_ALWAYS_SOFTWARE=1", "QT_QPA_PLATFORM=xcb"};
    if (launch.stagedModule)
        variables.insert(variables.end(),
                         {// The module was copied out of the root: its libraries are there.
                          "LD_LIBRARY_PATH=" + InstallRoot() + "/" CVL_PLATFORM_LIB_FOLDER,
                          // OBS is not built with the sanitizers that the module is: their
                          // runtime comes first, and OBS's own leaks are not this test's.
                          std::string("LD_PRELOAD=") + CVL_SANITIZER_RUNTIME,
                          "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"});
    std::vector<std::string> removed = {"WAYLAND_DISPLAY", "SESSION_MANAGER"};
    removed.insert(removed.end(), launch.removed.begin(), launch.removed.end());
    const std::vector<std::string> environment = ChildProcess::EnvironmentWith(variables, removed);
    std::vector<std::string> command = launch.wrapper;
    command.insert(command.end(), {"unshare", "-n", "--", "sh", "-c",
                                   "ip link set lo up && exec obs --multi --minimize-to-tray "
                                   "--disable-shutdown-check --verbose"});
    if (!m_obs.Start(command, environment, TempFolder() + "/obs-stdout.log")) {
        error = "cannot start OBS";
        return false;
    }
    // OBS under software OpenGL on a busy machine takes a while.
    std::string answer;
    if (!WaitFor([&] { return Request("GetVersion", "{}", &answer); }, std::chrono::seconds(120))) {
        error = "OBS's websocket does not answer (" + answer + "); its log:\n" + Log();
        return false;
    }
    return true;
}

bool ObsStudio::Request(const std::string& type, const std::string& data, std::string* answer,
                        const std::string& image) {
    if (!m_obs.Running())
        return false;
    std::string output;
    const int status =
        RunCommand("nsenter -t " + std::to_string(m_obs.Pid()) + " -n /usr/bin/python3 " +
                       ShellQuote(RequestScript()) + " " + std::to_string(kWebSocketPort) + " " +
                       ShellQuote(type) + " " + ShellQuote(data) +
                       (image.empty() ? "" : " --image " + ShellQuote(image)) + " 2>&1",
                   &output);
    if (answer)
        *answer = output;
    return status == 0;
}

Picture ObsStudio::Screenshot(const std::string& source) {
    const std::string path = TempFolder() + "/obs-shot-" + std::to_string(++m_shots) + ".png";
    Picture picture;
    std::string answer;
    if (Request("GetSourceScreenshot",
                "{\"sourceName\":\"" + source + "\",\"imageFormat\":\"png\"}", &answer, path) &&
        FileExists(path))
        DecodePngFile(path, picture);
    return picture;
}

Shown ObsStudio::ShownBy(const std::string& source) {
    const Picture picture = Screenshot(source);
    return picture.Empty() ? Shown::Other : Classify(picture);
}

bool ObsStudio::WaitForShown(const std::string& source, Shown shown,
                             std::chrono::milliseconds timeout) {
    return WaitFor([&] { return ShownBy(source) == shown; }, timeout);
}

std::vector<TimedShot> ObsStudio::TimedScreenshots(const std::string& source,
                                                   std::chrono::milliseconds duration,
                                                   std::chrono::milliseconds interval, int width,
                                                   int height) {
    std::vector<TimedShot> shots;
    if (!m_obs.Running())
        return shots;
    const std::string folder = MakeFolder("obs-timed-" + std::to_string(++m_shots));
    std::string output;
    RunCommand("nsenter -t " + std::to_string(m_obs.Pid()) + " -n /usr/bin/python3 " +
                   ShellQuote(ScreenshotsScript()) + " " + std::to_string(kWebSocketPort) + " " +
                   ShellQuote(source) + " " + std::to_string(duration.count() / 1000.0) + " " +
                   std::to_string(interval.count()) + " " + std::to_string(width) + " " +
                   std::to_string(height) + " " + ShellQuote(folder),
               &output);
    std::istringstream lines(output);
    TimedShot shot;
    int number = 0;
    while (lines >> number >> shot.sentNs >> shot.answeredNs) {
        shot.path = folder + "/shot-" + std::to_string(number) + ".png";
        shots.push_back(shot);
    }
    return shots;
}

bool ObsStudio::JoinNetwork() {
    if (!m_obs.Running())
        return false;
    const int fd =
        open(("/proc/" + std::to_string(m_obs.Pid()) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool joined = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return joined;
}

std::string ObsStudio::Log() const {
    std::string all;
    const std::string logs = m_home + "/.config/obs-studio/logs";
    if (DIR* dir = opendir(logs.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string text;
            if (entry->d_name[0] != '.' && ReadFile(logs + "/" + entry->d_name, text))
                all += text;
        }
        closedir(dir);
    }
    return all;
}

std::string TextAfter(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": \"");
    if (at == std::string::npos)
        return "";
    const size_t from = at + key.size() + 5;
    return json.substr(from, json.find('"', from) - from);
}

double NumberAfter(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::atof(json.c_str() + at + key.size() + 4);
}

std::string SceneItemRequest(const std::string& scene, long id, bool enabled) {
    return "{\"sceneName\":\"" + scene + "\",\"sceneItemId\":" + std::to_string(id) +
           ",\"sceneItemEnabled\":" + (enabled ? "true" : "false") + "}";
}

} // namespace cvl::test
