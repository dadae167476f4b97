// The private desktop session with the real daemons: it comes up, a camera
// node published in it is seen by its clients and by no other session, the
// portal offers the camera without bus activation, and every daemon it
// started is gone once it stops.
#include "DesktopSession.h"
#include "PlainCameraNode.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <map>
#include <sys/stat.h>

namespace {

using namespace cvl::test;
using std::chrono::seconds;

const char* const kDaemons[] = {"dbus-daemon", "pipewire", "xdg-permission-store", "wireplumber",
                                "xdg-desktop-portal"};

std::map<std::string, pid_t> DaemonPids(const DesktopSession& session) {
    std::map<std::string, pid_t> pids;
    for (const char* name : kDaemons)
        pids[name] = session.Pid(name);
    return pids;
}

bool ProcessExists(pid_t pid) {
    return kill(pid, 0) == 0 || errno != ESRCH;
}

TEST(DesktopSession, PipeWireOnlySessionShowsItsOwnNodeAndNoOtherSessions) {
    DesktopSessionOptions options;
    options.portal = false;
    DesktopSession first(options);
    DesktopSession second(options);
    ASSERT_TRUE(first.Start()) << first.Errors();
    ASSERT_TRUE(second.Start()) << second.Errors();
    EXPECT_NE(first.RuntimeDir(), second.RuntimeDir());
    EXPECT_EQ(first.Pid("xdg-desktop-portal"), -1);
    EXPECT_EQ(first.Pid("xdg-permission-store"), -1);

    struct stat info;
    ASSERT_EQ(stat(first.RuntimeDir().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    // The test's own runtime folder stays free of the session's sockets.
    EXPECT_FALSE(FileExists(RuntimeFolder() + "/pipewire-0"));

    PlainCameraNode node(first);
    ASSERT_TRUE(node.Start()) << node.Log() << first.Errors();
    const std::string dump = first.PwDump();
    EXPECT_NE(dump.find("\"media.role\": \"Camera\""), std::string::npos);
    EXPECT_NE(dump.find("\"media.class\": \"Video/Source\""), std::string::npos);
    EXPECT_FALSE(second.HasNode("Plain Test Camera"));

    node.Stop();
    EXPECT_TRUE(first.WaitForNodeGone("Plain Test Camera"));

    const auto pids = DaemonPids(first);
    first.Stop();
    for (const auto& [name, pid] : pids) {
        if (pid > 0) {
            EXPECT_FALSE(ProcessExists(pid)) << name;
        }
    }
    EXPECT_TRUE(second.PwDump().find("Freewheel-Driver") != std::string::npos)
        << "the other session went down with the first";
}

TEST(DesktopSession, PortalOffersTheCameraAndEverythingEndsWithTheSession) {
    std::map<std::string, pid_t> pids;
    {
        DesktopSession session;
        ASSERT_TRUE(session.Start()) << session.Errors();
        pids = DaemonPids(session);
        for (const auto& [name, pid] : pids)
            EXPECT_GT(pid, 0) << name;
        EXPECT_TRUE(session.BusNameOwned("org.freedesktop.portal.Desktop"));

        // The camera is allowed to unsandboxed applications.
        std::string lookup;
        EXPECT_EQ(session.Run("gdbus call --session --dest org.freedesktop.impl.portal."
                              "PermissionStore --object-path /org/freedesktop/impl/portal/"
                              "PermissionStore --method org.freedesktop.impl.portal."
                              "PermissionStore.Lookup devices camera",
                              &lookup),
                  0);
        EXPECT_NE(lookup.find("'': ['yes']"), std::string::npos) << lookup;

        // Nothing was started by bus activation: the document portal, which
        // the desktop portal asks for, has no owner.
        EXPECT_FALSE(session.BusNameOwned("org.freedesktop.portal.Documents"));

        PlainCameraNode node(session);
        ASSERT_TRUE(node.Start()) << node.Log() << session.Errors();
        pids["plain node"] = node.Pid();
    }
    for (const auto& [name, pid] : pids)
        EXPECT_FALSE(ProcessExists(pid)) << name << " " << pid << " still runs";
}

TEST(DesktopSession, DaemonThatCannotStartIsReportedNotWaitedFor) {
    // A runtime folder path too long for a socket address: the bus cannot
    // listen, dbus-daemon ends, and Start says so well before its bound.
    DesktopSessionOptions options;
    options.portal = false;
    options.folder = MakeFolder("long/" + std::string(120, 'x'));
    DesktopSession session(options);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(session.Start());
    EXPECT_LT(std::chrono::steady_clock::now() - before, options.readyTimeout);
    EXPECT_NE(session.Errors().find("dbus-daemon: not ready (ended"), std::string::npos)
        << session.Errors();
    EXPECT_EQ(session.Pid("dbus-daemon"), -1);
}

} // namespace
