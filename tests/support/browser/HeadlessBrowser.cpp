#include "HeadlessBrowser.h"

#include "TestSupport.h"

namespace cvl::test {

namespace {

// Prefs of a Firefox profile for a test: PipeWire cameras, no permission
// prompt, and nothing that reaches out to the network by itself.
const char kFirefoxPrefs[] = R"(user_pref("media.webrtc.camera.allow-pipewire", true);
user_pref("media.navigator.permission.disabled", true);
user_pref("media.navigator.streams.fake", false);
user_pref("media.autoplay.default", 0);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.newtabpage.enabled", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
user_pref("browser.region.network.url", "");
user_pref("browser.region.update.enabled", false);
user_pref("app.update.enabled", false);
user_pref("app.normandy.enabled", false);
user_pref("extensions.update.enabled", false);
user_pref("extensions.getAddons.cache.enabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.healthreport.uploadEnabled", false);
user_pref("toolkit.telemetry.enabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("network.dns.disablePrefetch", true);
user_pref("network.prefetch-next", false);
user_pref("services.settings.server", "http://127.0.0.1:9/");
user_pref("dom.ipc.processCount", 1);
)";

} // namespace

HeadlessBrowser::HeadlessBrowser(BrowserKind kind, const DesktopSession& session)
    : m_kind(kind), m_session(session) {
    static int browsers = 0;
    m_folder = MakeFolder(Name(kind) + "-" + std::to_string(++browsers));
}

bool HeadlessBrowser::Installed(BrowserKind kind) {
    return RunCommand("command -v " + Name(kind) + " >/dev/null") == 0;
}

std::string HeadlessBrowser::Name(BrowserKind kind) {
    return kind == BrowserKind::Chromium ? "chromium" : "firefox-esr";
}

std::vector<std::string> HeadlessBrowser::Arguments(const std::string& profile) const {
    if (m_kind == BrowserKind::Firefox)
        return {"firefox-esr", "--headless", "--no-remote", "--profile", profile};
    return {"chromium",
            "--headless=new",
            "--no-sandbox",
            "--use-fake-ui-for-media-stream",
            "--enable-features=WebRtcPipeWireCamera",
            "--autoplay-policy=no-user-gesture-required",
            "--user-data-dir=" + profile,
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-default-apps",
            "--disable-sync",
            "--disable-domain-reliability",
            "--disable-client-side-phishing-detection",
            "--disable-breakpad",
            "--metrics-recording-only",
            "--disable-quic",
            "--mute-audio"};
}

bool HeadlessBrowser::Launch(std::vector<std::string> arguments) {
    Close();
    const std::string run = RunFolder(++m_runs);
    const std::string profile = run + "/profile";
    const std::string home = run + "/home";
    if (RunCommand("mkdir -p " + ShellQuote(profile) + " " + ShellQuote(home)) != 0)
        return false;
    if (m_kind == BrowserKind::Firefox && !WriteFile(profile + "/user.js", kFirefoxPrefs))
        return false;
    std::vector<std::string> command = Arguments(profile);
    command.insert(command.end(), arguments.begin(), arguments.end());
    // The browser finds the camera through the portal on the session bus;
    // its home and caches stay in the run's folder.
    std::vector<std::string> environment = ChildProcess::EnvironmentWith(
        {"PIPEWIRE_RUNTIME_DIR=" + m_session.PipeWireRuntimeDir(),
         "DBUS_SESSION_BUS_ADDRESS=" + m_session.BusAddress(), "HOME=" + home,
         "XDG_CONFIG_HOME=" + home + "/.config", "XDG_CACHE_HOME=" + home + "/.cache",
         "XDG_DATA_HOME=" + home + "/.local/share", "MOZ_HEADLESS=1"},
        DesktopSession::ClientEnvironmentRemoved());
    m_deadline = std::chrono::steady_clock::now() + m_limit;
    return m_process.Start(command, environment, run + "/output.log");
}

bool HeadlessBrowser::Open(const std::string& url, const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = extra;
    arguments.push_back(url);
    return Launch(arguments);
}

bool HeadlessBrowser::Screenshot(const std::string& url, const std::string& pngPath, int width,
                                 int height) {
    if (m_kind != BrowserKind::Chromium)
        return false;
    if (!Launch({"--screenshot=" + pngPath,
                 "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                 "--hide-scrollbars", url}))
        return false;
    WaitFor([&] { return !Running(); }, m_limit);
    Close();
    return FileExists(pngPath);
}

bool HeadlessBrowser::CaptureCheckFailed() const {
    return ShowsCaptureCheckFailure(Log());
}

bool HeadlessBrowser::ShowsCaptureCheckFailure(const std::string& log) {
    return log.find("video_capture_pipewire.cc") != std::string::npos &&
           log.find("RaceDetected") != std::string::npos;
}

std::string HeadlessBrowser::NextRunLogPath() const {
    return RunFolder(m_runs + 1) + "/output.log";
}

bool HeadlessBrowser::Running() {
    if (m_process.Pid() > 0 && std::chrono::steady_clock::now() >= m_deadline)
        Close();
    return m_process.Running();
}

void HeadlessBrowser::Close() {
    m_process.Stop(std::chrono::seconds(10));
}

} // namespace cvl::test
