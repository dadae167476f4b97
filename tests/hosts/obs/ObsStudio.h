// OBS Studio for a test: Xvfb, and OBS in a network namespace of its own
// (it reaches for its update server at start) with Mesa's software OpenGL, a
// private HOME and configuration, obs-websocket on that namespace's
// loopback, and the staged installation's module in the configuration's
// plug-in folder. Requests go through obs-request.py, run inside the same
// namespace.
#ifndef CVL_TESTS_HOSTS_OBS_OBSSTUDIO_H
#define CVL_TESTS_HOSTS_OBS_OBSSTUDIO_H

#include "ChildProcess.h"
#include "Picture.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace cvl::test {

// How OBS is started. The defaults: the staged installation's module in the
// private configuration's plug-in folder.
struct ObsLaunch {
    // Copies the staged installation's module into the private plug-in
    // folder, with the libraries and the sanitizer runtime that it needs.
    // Off: OBS loads only the modules of its own module folders, as it does
    // for an installed module.
    bool stagedModule = true;
    // Words that run first and exec the rest (OBS's command line): a mount
    // namespace with an installation in place, say.
    std::vector<std::string> wrapper;
    // Variables taken out of OBS's environment.
    std::vector<std::string> removed;
};

// A screenshot taken by TimedScreenshots: its PNG file, and when its request
// went out and its answer came (CLOCK_MONOTONIC, the frame stamps' clock).
struct TimedShot {
    std::string path;
    int64_t sentNs = 0;
    int64_t answeredNs = 0;
};

// Reading the websocket's answers, a line of JSON each: the text or the
// number after "key": ("" or -1 when it is not there).
std::string TextAfter(const std::string& json, const std::string& key);
double NumberAfter(const std::string& json, const std::string& key);
// The data of a SetSceneItemEnabled request.
std::string SceneItemRequest(const std::string& scene, long id, bool enabled);

class ObsStudio {
public:
    ObsStudio() = default;
    // Stops OBS, then Xvfb.
    ~ObsStudio();
    ObsStudio(const ObsStudio&) = delete;
    ObsStudio& operator=(const ObsStudio&) = delete;

    // Starts both and waits until the websocket answers; false with the
    // reason in error.
    bool Start(std::string& error);
    bool Start(std::string& error, const ObsLaunch& launch);
    pid_t Pid() const { return m_obs.Pid(); }

    // One request; the response's line of JSON in answer. True when OBS
    // answered that it succeeded. image: where the response's picture goes.
    bool Request(const std::string& type, const std::string& data = "{}",
                 std::string* answer = nullptr, const std::string& image = "");
    // GetSourceScreenshot of source as PNG; an empty picture when none came.
    Picture Screenshot(const std::string& source);
    // What source shows now (Other when no screenshot came).
    Shown ShownBy(const std::string& source);
    // Until source shows shown.
    bool WaitForShown(const std::string& source, Shown shown,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Screenshots of source scaled to width x height, one every interval for
    // duration, over one connection; fewer when OBS is slower.
    std::vector<TimedShot> TimedScreenshots(const std::string& source,
                                            std::chrono::milliseconds duration,
                                            std::chrono::milliseconds interval, int width,
                                            int height);
    // The calling thread joins OBS's network namespace, so that the programs
    // it starts afterwards and its own connections share OBS's loopback (a
    // server there for OBS to read, such as cvl-web). False when it cannot.
    bool JoinNetwork();
    // OBS's log of this run.
    std::string Log() const;

private:
    ChildProcess m_xvfb;
    ChildProcess m_obs;
    std::string m_home;
    int m_shots = 0;
};

} // namespace cvl::test

#endif
