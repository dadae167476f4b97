#include "DesktopSession.h"

#include "TestSupport.h"

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace cvl::test {

namespace {

using std::chrono::milliseconds;

// A session bus that only listens on the session's socket. It names no
// service folders: a name that nobody owns stays unowned instead of starting
// a program (the document portal would mount a file system and stay).
std::string BusConfig(const std::string& socketPath) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path=" +
           socketPath +
           "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

// The portal offers its Camera interface only when some backend declares the
// Access interface for the current desktop. With the camera allowed in the
// permission store beforehand, the backend is never asked and need not run.
const char kPortalFile[] = "[portal]\n"
                           "DBusName=org.freedesktop.impl.portal.desktop.headless\n"
                           "Interfaces=org.freedesktop.impl.portal.Access;\n"
                           "UseIn=headless\n";

bool SocketAccepts(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// Polls a condition that runs a program each time: a tenth of a second
// between tries keeps a loaded machine free for the daemon being waited for.
bool PollSlowly(const std::function<bool()>& condition, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(milliseconds(100));
    }
    return true;
}

std::string NodeDescriptionEntry(const std::string& description) {
    return "\"node.description\": \"" + description + "\"";
}

} // namespace

DesktopSession::DesktopSession(DesktopSessionOptions options) : m_options(std::move(options)) {
    static int sessions = 0;
    m_folder = m_options.folder.empty() ? MakeFolder("desktop-" + std::to_string(++sessions))
                                        : m_options.folder;
    m_runtimeDir = m_folder + "/run";
    m_homeDir = m_folder + "/home";
    m_busAddress = "unix:path=" + m_runtimeDir + "/bus";
}

DesktopSession::~DesktopSession() {
    Stop();
}

std::vector<std::string> DesktopSession::DaemonEnvironment() const {
    return ChildProcess::EnvironmentWith(
        {"XDG_RUNTIME_DIR=" + m_runtimeDir, "HOME=" + m_homeDir, "XDG_DATA_HOME=" + DataHome(),
         "XDG_CONFIG_HOME=" + ConfigHome(), "XDG_STATE_HOME=" + StateHome(),
         "DBUS_SESSION_BUS_ADDRESS=" + m_busAddress, "GSETTINGS_BACKEND=memory",
         "GIO_USE_VFS=local"},
        ClientEnvironmentRemoved());
}

std::vector<std::string> DesktopSession::ClientEnvironment() const {
    return {"PIPEWIRE_RUNTIME_DIR=" + m_runtimeDir, "DBUS_SESSION_BUS_ADDRESS=" + m_busAddress};
}

std::vector<std::string> DesktopSession::ClientEnvironmentRemoved() {
    return {"PIPEWIRE_REMOTE",         "PIPEWIRE_RUNTIME_DIR", "DISPLAY",
            "WAYLAND_DISPLAY",         "XDG_CURRENT_DESKTOP",  "XDG_DESKTOP_PORTAL_DIR",
            "DBUS_SESSION_BUS_ADDRESS"};
}

std::vector<std::string> DesktopSession::FullClientEnvironment() const {
    return ChildProcess::EnvironmentWith(ClientEnvironment(), ClientEnvironmentRemoved());
}

std::string DesktopSession::ShellEnvironment() const {
    std::string words = "env";
    for (const std::string& name : ClientEnvironmentRemoved())
        words += " -u " + name;
    for (const std::string& entry : ClientEnvironment())
        words += " " + ShellQuote(entry);
    return words;
}

int DesktopSession::Run(const std::string& command, std::string* output) const {
    return RunCommand(ShellEnvironment() + " sh -c " + ShellQuote(command), output);
}

bool DesktopSession::Launch(const std::string& name, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> environment = DaemonEnvironment();
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    Daemon daemon{name, std::make_unique<ChildProcess>()};
    if (!daemon.process->Start(arguments, environment, m_folder + "/" + name + ".log")) {
        m_errors += name + ": could not be started\n";
        return false;
    }
    m_daemons.push_back(std::move(daemon));
    return true;
}

bool DesktopSession::WaitReady(const std::string& name, const std::function<bool()>& condition) {
    ChildProcess* process = nullptr;
    for (Daemon& daemon : m_daemons)
        if (daemon.name == name)
            process = daemon.process.get();
    // A daemon that has ended will not become ready: no need to wait out the
    // bound.
    const bool ready = PollSlowly([&] { return condition() || (process && !process->Running()); },
                                  m_options.readyTimeout) &&
                       (!process || process->Running()) && condition();
    if (!ready)
        m_errors += name + ": not ready" +
                    (process && !process->Running()
                         ? " (ended with status " + std::to_string(process->ExitStatus()) + ")"
                         : " within " + std::to_string(m_options.readyTimeout.count()) + " ms") +
                    "\n";
    return ready;
}

bool DesktopSession::BusNameOwned(const std::string& name) const {
    std::string output;
    return Run("gdbus call --session --timeout 10 --dest org.freedesktop.DBus "
               "--object-path /org/freedesktop/DBus --method org.freedesktop.DBus.NameHasOwner " +
                   ShellQuote(name) + " 2>/dev/null",
               &output) == 0 &&
           output.find("true") != std::string::npos;
}

bool DesktopSession::AllowCameraForUnsandboxedApps() {
    const std::string store = "--dest org.freedesktop.impl.portal.PermissionStore "
                              "--object-path /org/freedesktop/impl/portal/PermissionStore "
                              "--method org.freedesktop.impl.portal.PermissionStore.";
    if (Run("gdbus call --session --timeout 20 " + store +
            "SetPermission devices true camera '' \"['yes']\" >/dev/null") != 0) {
        m_errors += "xdg-permission-store: SetPermission failed\n";
        return false;
    }
    std::string output;
    if (Run("gdbus call --session --timeout 20 " + store + "Lookup devices camera", &output) != 0 ||
        output.find("'': ['yes']") == std::string::npos) {
        m_errors += "xdg-permission-store: the camera permission did not hold: " + output + "\n";
        return false;
    }
    return true;
}

bool DesktopSession::Start() {
    if (m_running)
        return true;
    m_errors.clear();
    for (const std::string& folder :
         {m_runtimeDir, m_homeDir, DataHome(), ConfigHome(), StateHome(), m_folder + "/portals"}) {
        if (RunCommand("mkdir -p " + ShellQuote(folder)) != 0) {
            m_errors += "could not make " + folder + "\n";
            return false;
        }
    }
    chmod(m_runtimeDir.c_str(), 0700);
    const std::string busConfig = m_folder + "/session-bus.conf";
    WriteFile(busConfig, BusConfig(m_runtimeDir + "/bus"));
    WriteFile(m_folder + "/portals/headless.portal", kPortalFile);

    bool started =
        Launch("dbus-daemon", {"dbus-daemon", "--config-file=" + busConfig, "--nofork"}, {}) &&
        WaitReady("dbus-daemon", [&] { return SocketAccepts(m_runtimeDir + "/bus"); }) &&
        Launch("pipewire", {"pipewire"}, {}) &&
        WaitReady("pipewire", [&] { return SocketAccepts(m_runtimeDir + "/pipewire-0"); });
    if (started && m_options.portal)
        started = Launch("xdg-permission-store", {"/usr/libexec/xdg-permission-store", "--replace"},
                         {}) &&
                  WaitReady("xdg-permission-store",
                            [&] {
                                return BusNameOwned("org.freedesktop.impl.portal.PermissionStore");
                            }) &&
                  AllowCameraForUnsandboxedApps();
    // WirePlumber's second connection ("[export]") comes once it has loaded
    // its configuration and scripts.
    started =
        started && Launch("wireplumber", {"wireplumber"}, {}) && WaitReady("wireplumber", [&] {
            return PwDump().find("\"WirePlumber [export]\"") != std::string::npos;
        });
    if (started && m_options.portal)
        started =
            Launch("xdg-desktop-portal", {"/usr/libexec/xdg-desktop-portal", "--replace"},
                   {"XDG_DESKTOP_PORTAL_DIR=" + m_folder + "/portals",
                    "XDG_CURRENT_DESKTOP=headless"}) &&
            WaitReady("xdg-desktop-portal", [&] {
                return Run("gdbus call --session --timeout 10 --dest "
                           "org.freedesktop.portal.Desktop "
                           "--object-path /org/freedesktop/portal/desktop --method "
                           "org.freedesktop.DBus.Properties.Get org.freedesktop.portal.Camera "
                           "version >/dev/null 2>&1") == 0;
            });
    m_running = started;
    if (!started)
        Stop();
    return started;
}

void DesktopSession::Stop() {
    for (auto daemon = m_daemons.rbegin(); daemon != m_daemons.rend(); ++daemon) {
        const pid_t pid = daemon->process->Pid();
        const int status = daemon->process->Stop();
        // SIGTERM ends each of them with status 0 (or 143); anything else
        // is worth seeing when a test fails.
        if (pid > 0 && status != 0 && status != 128 + SIGTERM)
            m_errors += daemon->name + " (" + std::to_string(pid) + "): ended with status " +
                        std::to_string(status) + "\n";
    }
    m_daemons.clear();
    m_running = false;
}

std::string DesktopSession::PwDump() const {
    std::string output;
    if (Run("pw-dump 2>/dev/null", &output) != 0)
        return "";
    return output;
}

bool DesktopSession::HasNode(const std::string& description) const {
    return PwDump().find(NodeDescriptionEntry(description)) != std::string::npos;
}

bool DesktopSession::WaitForNode(const std::string& description, milliseconds timeout) const {
    return PollSlowly([&] { return HasNode(description); }, timeout);
}

bool DesktopSession::WaitForNodeGone(const std::string& description, milliseconds timeout) const {
    return PollSlowly([&] { return !PwDump().empty() && !HasNode(description); }, timeout);
}

pid_t DesktopSession::Pid(const std::string& daemon) const {
    for (const Daemon& candidate : m_daemons)
        if (candidate.name == daemon)
            return candidate.process->Pid();
    return -1;
}

std::string DesktopSession::Errors() const {
    std::string report = m_errors;
    for (const char* name :
         {"dbus-daemon", "pipewire", "xdg-permission-store", "wireplumber", "xdg-desktop-portal"}) {
        std::string log;
        if (ReadFile(m_folder + "/" + name + ".log", log) && !log.empty())
            report += "--- " + std::string(name) + ".log\n" + log;
    }
    return report;
}

} // namespace cvl::test
