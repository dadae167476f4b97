// A private desktop session for tests of camera consumers: a session bus of
// its own, PipeWire and WirePlumber, and optionally the permission store and
// xdg-desktop-portal with the camera already allowed to unsandboxed
// applications, so that browsers capture from PipeWire camera nodes through
// the portal's Camera interface without a desktop or a dialog.
//
// Everything lives in a folder of its own: the runtime folder (0700, which
// holds the bus and PipeWire sockets), home, data, config and state folders,
// and a log per daemon. The bus has no service folders, so nothing starts by
// bus activation: every process of the session is started here, waited for
// by condition, and ended by its PID when the session stops or is destroyed.
//
// Clients keep the test's own XDG_RUNTIME_DIR (the service's ports live
// there) and find the session through ClientEnvironment():
// PIPEWIRE_RUNTIME_DIR for PipeWire, DBUS_SESSION_BUS_ADDRESS for the portal.
#ifndef CVL_TESTS_SUPPORT_DESKTOPSESSION_H
#define CVL_TESTS_SUPPORT_DESKTOPSESSION_H

#include "ChildProcess.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cvl::test {

struct DesktopSessionOptions {
    // The permission store and xdg-desktop-portal with the camera allowed to
    // app id ""; without them the session is the bus, PipeWire and
    // WirePlumber (enough for GStreamer and pw-v4l2 consumers).
    bool portal = true;
    // The session's folder; empty: a fresh one under the test's temporary
    // folder.
    std::string folder;
    // How long each daemon may take to become ready; generous, since the
    // machine may be busy.
    std::chrono::milliseconds readyTimeout = std::chrono::seconds(60);
};

class DesktopSession {
public:
    explicit DesktopSession(DesktopSessionOptions options = DesktopSessionOptions());
    // Stops whatever still runs.
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // Starts the daemons in order, each once the one before is ready. False,
    // with Errors() saying why, when one did not start or become ready; what
    // was started is stopped again then.
    bool Start();
    // Ends the daemons in the reverse order: SIGTERM, SIGKILL after a grace.
    void Stop();
    bool Running() const { return m_running; }

    const std::string& Folder() const { return m_folder; }
    // XDG_RUNTIME_DIR of the session's daemons, where the bus and PipeWire
    // sockets are.
    const std::string& RuntimeDir() const { return m_runtimeDir; }
    // The folder a PipeWire client must look in (PIPEWIRE_RUNTIME_DIR).
    const std::string& PipeWireRuntimeDir() const { return m_runtimeDir; }
    // DBUS_SESSION_BUS_ADDRESS of the session bus.
    const std::string& BusAddress() const { return m_busAddress; }
    const std::string& HomeDir() const { return m_homeDir; }
    std::string DataHome() const { return m_folder + "/data"; }
    std::string ConfigHome() const { return m_folder + "/config"; }
    std::string StateHome() const { return m_folder + "/state"; }

    // NAME=VALUE entries that make a program a client of the session:
    // PIPEWIRE_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS, with PIPEWIRE_REMOTE
    // and a display's variables left to the caller to remove (see
    // ClientEnvironmentRemoved).
    std::vector<std::string> ClientEnvironment() const;
    // Variables a client of the session must not inherit.
    static std::vector<std::string> ClientEnvironmentRemoved();
    // This process's environment made a client of the session.
    std::vector<std::string> FullClientEnvironment() const;
    // The same as shell words, for the front of a command line.
    std::string ShellEnvironment() const;
    // Runs a shell command as a client of the session; its exit status and
    // standard output as RunCommand gives them.
    int Run(const std::string& command, std::string* output = nullptr) const;

    // pw-dump's JSON of the session's PipeWire objects ("" when it failed).
    std::string PwDump() const;
    // Whether PipeWire has a node whose node.description is description.
    bool HasNode(const std::string& description) const;
    bool WaitForNode(const std::string& description,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    bool WaitForNodeGone(const std::string& description,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    // Whether the session bus has an owner for name.
    bool BusNameOwned(const std::string& name) const;

    // The PID of a running daemon ("dbus-daemon", "pipewire",
    // "xdg-permission-store", "wireplumber", "xdg-desktop-portal"), or -1.
    pid_t Pid(const std::string& daemon) const;
    // What went wrong, with the daemons' logs.
    std::string Errors() const;

private:
    struct Daemon {
        std::string name;
        std::unique_ptr<ChildProcess> process;
    };

    bool Launch(const std::string& name, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment);
    bool WaitReady(const std::string& name, const std::function<bool()>& condition);
    bool AllowCameraForUnsandboxedApps();
    std::vector<std::string> DaemonEnvironment() const;

    DesktopSessionOptions m_options;
    std::string m_folder;
    std::string m_runtimeDir;
    std::string m_homeDir;
    std::string m_busAddress;
    std::vector<Daemon> m_daemons;
    std::string m_errors;
    bool m_running = false;
};

} // namespace cvl::test

#endif
