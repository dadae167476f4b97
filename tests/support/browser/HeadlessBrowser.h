// A real browser, headless, as a client of a private desktop session:
// Chromium with its PipeWire camera feature, or Firefox ESR with its
// PipeWire camera pref. Each run has a fresh profile and home folder, with
// background networking off, the camera permission granted without a
// dialog, and a time limit; the browser and every process it started end
// by PID when the run is closed or the object is destroyed.
#ifndef CVL_TESTS_SUPPORT_BROWSER_HEADLESSBROWSER_H
#define CVL_TESTS_SUPPORT_BROWSER_HEADLESSBROWSER_H

#include "ChildProcess.h"
#include "DesktopSession.h"

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace cvl::test {

enum class BrowserKind { Chromium, Firefox };
// Its name in test output.
inline void PrintTo(BrowserKind kind, std::ostream* out) {
    *out << (kind == BrowserKind::Chromium ? "Chromium" : "Firefox");
}

class HeadlessBrowser {
public:
    HeadlessBrowser(BrowserKind kind, const DesktopSession& session);
    // Closes it.
    ~HeadlessBrowser() { Close(); }
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    // Whether the browser's program is installed.
    static bool Installed(BrowserKind kind);
    static std::string Name(BrowserKind kind);

    // Opens url in a new run; extra arguments go before it.
    bool Open(const std::string& url, const std::vector<std::string>& extra = {});
    // Chromium only: loads url, writes a PNG of the page at width x height
    // once the page has finished loading, and ends by itself. False when no
    // picture came within the run's time limit.
    bool Screenshot(const std::string& url, const std::string& pngPath, int width, int height);
    // Whether the run is still going; a run past its limit is closed here.
    bool Running();
    void Close();
    // The run's standard output and error.
    std::string Log() const { return m_process.Log(); }
    // Whether the run's capture of a PipeWire camera ended on the browser's
    // own thread check: WebRTC's PipeWire capture (Chromium's and Firefox's)
    // leaves its capture thread's serialisation scope in StartCapture only
    // after it has let its PipeWire thread run, so a stream callback that
    // comes at that moment aborts the capture process ("Check failed:
    // !race_checker...RaceDetected()"), and the page gets
    // "NotReadableError: Could not start video source", or, when the abort
    // comes just after the track started, a track that stays at its first
    // frame with no error at all. It is a matter of the browser's thread
    // timing (seen on loaded machines), not of the node's answers, which
    // come over PipeWire only after that moment.
    bool CaptureCheckFailed() const;
    // The same for the text of a run's log.
    static bool ShowsCaptureCheckFailure(const std::string& log);
    // The log file of the run that the next Open or Screenshot starts, for
    // another thread to read while that run goes on.
    std::string NextRunLogPath() const;

    // How long one run may take at most.
    void SetLimit(std::chrono::milliseconds limit) { m_limit = limit; }

private:
    std::vector<std::string> Arguments(const std::string& profile) const;
    bool Launch(std::vector<std::string> arguments);
    std::string RunFolder(int run) const { return m_folder + "/run-" + std::to_string(run); }

    BrowserKind m_kind;
    const DesktopSession& m_session;
    ChildProcess m_process;
    std::chrono::milliseconds m_limit = std::chrono::seconds(120);
    std::chrono::steady_clock::time_point m_deadline;
    int m_runs = 0;
    std::string m_folder;
};

} // namespace cvl::test

#endif
