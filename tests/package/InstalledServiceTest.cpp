// The installed package at work, from its own files, without systemd: what
// the units' ExecStart lines run, under a supervisor that restarts as the
// unit says; the user's camera settings naming the project's PTP/IP test
// camera; the console's restart; a user outside the group video; and the
// removal of a package whose service runs.
#include "CVLClient.h"
#include "CameraProcess.h"
#include "FrameWatch.h"
#include "InstalledRoot.h"
#include "RequestSender.h"
#include "ServiceHarness.h"
#include "TestSupport.h"
#include "UnitSupervisor.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cvl::test {
namespace {

const std::string kRoot = CVL_PACKAGE_ROOT;
const std::string kResources =
    kRoot + "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/Resources";
// libgphoto2 loads every camera driver and opens the session on a shared
// machine: generous.
constexpr auto kConnect = seconds(60);

// A process the test started: ended and reaped when the test is done with
// it, whatever happened.
struct Started {
    pid_t pid = -1;
    ~Started() { KillAndReap(pid); }
    // Waits for its end; true when it ended with status 0.
    bool EndsWithStatusZero() {
        int status = -1;
        if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds(30)))
            return false;
        pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
};

class InstalledService : public ::testing::Test {
protected:
    void SetUp() override {
        std::string output;
        ASSERT_TRUE(m_root.Install(output)) << output;
        if (!m_root.CanRunInPlace())
            GTEST_SKIP() << "no mount namespace to put the installation in place";
        m_config = MakeFolder("config");
        m_stderr = TempFolder() + "/service-stderr.txt";
    }

    std::string Unit(const std::string& name) const {
        std::string unit;
        EXPECT_TRUE(ReadFile(m_root.Path() + "/usr/lib/systemd/user/" + name, unit)) << name;
        return unit;
    }

    std::string Log() const {
        std::string log;
        ReadFile(m_root.Path() + kResources + "/log.txt", log);
        return log;
    }

    std::string Stderr() const {
        std::string text;
        ReadFile(m_stderr, text);
        return text;
    }

    std::map<std::string, std::string> Environment() const {
        return {{"XDG_CONFIG_HOME", m_config}};
    }

    // cvl-view through its starter: the JSON line of a few seconds' stream.
    std::string View(int seconds) const {
        std::string output;
        m_root.RunInPlace(
            "corvalink-view --seconds " + std::to_string(seconds) + " --json 2>/dev/null", output);
        const std::vector<std::string> lines = SplitLines(output);
        return lines.empty() ? "" : lines.back();
    }

    // A client of the test's own streams until the first live frame.
    static bool LiveFrameArrives() {
        CVLClient client;
        client.StartStreaming();
        const bool live = WaitForFrame(client, FrameKind::Live, kConnect);
        client.StopStreaming();
        return live;
    }

    // The installed viewer gets live frames within a few of its runs: the
    // camera's session is opened again for each of them.
    bool ViewerSeesLiveFrames(std::string& json) const {
        return WaitFor([&] { return JsonNumber(json = View(3), "unique") > 5; }, kConnect);
    }

    static int JsonNumber(const std::string& json, const std::string& key) {
        const size_t at = json.find("\"" + key + "\":");
        return at == std::string::npos ? -1 : std::atoi(json.c_str() + at + key.size() + 3);
    }

    InstalledRoot m_root;
    std::string m_config;
    std::string m_stderr;
};

TEST_F(InstalledService, StreamsTheConfiguredNetworkCameraAndComesBackAfterTheConsoleRestart) {
    CameraProcess camera;
    ASSERT_TRUE(camera.Start(25));
    // The camera reaches the service through the user's settings alone.
    unsetenv("CVL_GPHOTO2_PORT");
    MakeFolder("config/corvalink");
    ASSERT_TRUE(WriteFile(m_config + "/corvalink/camera.conf",
                          "# the test camera\nCVL_GPHOTO2_PORT=" + camera.GphotoPort() +
                              "\nCVL_GPHOTO2_MODEL=\"PTP/IP Camera\"\n"));

    UnitSupervisor supervisor(m_root, Unit("corvalink.service"), Environment(), m_stderr);
    ASSERT_TRUE(supervisor.Start());
    ASSERT_TRUE(WaitFor([] { return RequestPortServed(); }, seconds(30))) << Log();

    // Live frames of the test camera, once it is connected, through the
    // installed viewer.
    ASSERT_TRUE(LiveFrameArrives()) << Log();
    const uint64_t servedBefore = camera.FramesServed();
    std::string json;
    EXPECT_TRUE(ViewerSeesLiveFrames(json)) << json << "\n" << Log();
    EXPECT_GT(camera.FramesServed(), servedBefore);
    // The probe found no sandboxed hosts, and the shell had nothing to say.
    EXPECT_NE(Log().find("System Integrity Protection status: not present on this system."),
              std::string::npos)
        << Log();
    EXPECT_NE(Log().find("sandbox mode disabled"), std::string::npos) << Log();
    EXPECT_EQ(Stderr(), "");

    // The console's restart: the service closes (status 0) and the
    // supervisor, doing what the unit says, starts it again.
    std::string output;
    ASSERT_EQ(m_root.RunInPlace("printf 'r\\nq\\n' | corvalink-console", output), 0) << output;
    ASSERT_TRUE(WaitFor([&] { return supervisor.Starts() == 2; }, seconds(30)));
    EXPECT_EQ(supervisor.LastExitStatus(), 0);
    ASSERT_TRUE(WaitFor([] { return RequestPortServed(); }, seconds(30))) << Log();
    ASSERT_TRUE(LiveFrameArrives()) << Log();
    EXPECT_TRUE(ViewerSeesLiveFrames(json)) << json << "\n" << Log();

    // systemctl stop: SIGTERM, an orderly end with status 0, not restarted.
    EXPECT_EQ(supervisor.Stop(seconds(30)), 0);
    EXPECT_EQ(supervisor.Starts(), 2);
    EXPECT_NE(Log().find("cvl service done"), std::string::npos) << Log();
}

TEST_F(InstalledService, TellsAUserOutsideTheGroupVideoWhyAndWhatToDo) {
    if (!CanActAsOtherUser())
        GTEST_SKIP() << "cannot act as another user here";
    const group* video = getgrnam("video");
    ASSERT_NE(video, nullptr);
    const unsigned videoGid = video->gr_gid;
    // The other user's own runtime and configuration folders, reachable
    // through the test's folder.
    chmod(TempFolder().c_str(), 0711);
    const std::string runtime = MakeFolder("other-run");
    ASSERT_EQ(chown(runtime.c_str(), kOtherUser, kOtherUser), 0);
    chmod(runtime.c_str(), 0700);
    chmod(m_config.c_str(), 0755);
    std::map<std::string, std::string> environment = Environment();
    environment["XDG_RUNTIME_DIR"] = runtime;
    environment["HOME"] = m_config;
    const std::string program = "/usr/bin/corvalink-service";

    // Outside the group: told why and what to do, and the service runs on.
    Started outside{m_root.SpawnInPlace(program, environment, m_stderr, kOtherUser)};
    ASSERT_GT(outside.pid, 0);
    EXPECT_TRUE(
        WaitFor([&] { return Stderr().find("log in again") != std::string::npos; }, seconds(30)));
    const std::string told = Stderr();
    EXPECT_NE(told.find("cannot write the service's log and frame files"), std::string::npos)
        << told;
    EXPECT_NE(told.find("group video"), std::string::npos) << told;
    EXPECT_NE(told.find("sudo adduser nobody video"), std::string::npos) << told;
    EXPECT_TRUE(WaitFor([&] { return FileExists(runtime + "/CFMessagePort"); }, seconds(30)));
    kill(outside.pid, SIGTERM);
    EXPECT_TRUE(outside.EndsWithStatusZero());
    EXPECT_EQ(Log(), "");

    // In the group: nothing to tell, and the log is written.
    Started member{m_root.SpawnInPlace(program, environment, m_stderr, kOtherUser, {videoGid})};
    ASSERT_GT(member.pid, 0);
    EXPECT_TRUE(WaitFor(
        [&] { return Log().find("camera controller started") != std::string::npos; }, seconds(30)))
        << Log();
    kill(member.pid, SIGTERM);
    EXPECT_TRUE(member.EndsWithStatusZero());
    EXPECT_EQ(Stderr(), "");
}

TEST_F(InstalledService,
       TheSimulatorChosenStreamsThroughAnUpgradeAndRemovalEndsItAndLeavesNothing) {
    // Every program and library of the root finds its libraries.
    std::string objects;
    RunCommand("cd " + ShellQuote(m_root.Path()) +
                   " && find opt -type f \\( -perm -u+x -o -name '*.so*' \\) ! -name csrutil ! "
                   "-name sw_vers",
               &objects);
    ASSERT_GE(SplitLines(objects).size(), 10u) << objects;
    for (const std::string& object : SplitLines(objects)) {
        std::string libraries;
        EXPECT_EQ(m_root.RunInPlace("ldd " + ShellQuote("/" + object), libraries), 0) << object;
        EXPECT_EQ(libraries.find("not found"), std::string::npos) << object << ":\n" << libraries;
    }

    // The simulator, chosen as the documentation says, steered with the
    // installed zelsim.
    std::string output;
    ASSERT_EQ(RunCommand("update-alternatives --root " + ShellQuote(m_root.Path()) +
                             " --set corvalink-zelsdk " + kRoot +
                             "/Library/Frameworks/ZelSDK.framework/Versions/Simulator 2>&1",
                         &output),
              0)
        << output;
    Started service{m_root.SpawnInPlace("/usr/bin/corvalink-service", Environment(), m_stderr)};
    ASSERT_GT(service.pid, 0);
    ASSERT_TRUE(WaitFor([] { return RequestPortServed(); }, seconds(30))) << Log();
    EXPECT_TRUE(WaitFor(
        [&] {
            m_root.RunInPlace("corvalink-zelsim status", output);
            return output.find("attached: yes") != std::string::npos;
        },
        seconds(30)))
        << output;
    {
        CVLClient client;
        client.StartStreaming();
        EXPECT_TRUE(WaitForFrame(client, FrameKind::Live, seconds(30))) << Log();
        client.StopStreaming();
    }

    // An upgrade (the package installed again) replaces the files under the
    // running service and leaves it running: the new postinst starts again
    // what a user manager runs, and nothing ends a program started by hand.
    ASSERT_TRUE(m_root.Install(output)) << output;
    EXPECT_EQ(output.find("ending the Corvalink programs"), std::string::npos) << output;
    EXPECT_EQ(waitpid(service.pid, nullptr, WNOHANG), 0);
    EXPECT_TRUE(RequestPortServed());

    // Removal ends the service that runs from the package's files (in an
    // orderly way: status 0), and says so: from the files an upgrade
    // replaced, too.
    ASSERT_EQ(m_root.Dpkg("-r corvalink", output), 0) << output;
    EXPECT_NE(output.find("ending the Corvalink programs that still run (process " +
                          std::to_string(service.pid) + ")"),
              std::string::npos)
        << output;
    // It has ended by the time dpkg is done.
    int status = -1;
    ASSERT_EQ(waitpid(service.pid, &status, WNOHANG), service.pid);
    service.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // What removal keeps until purge is Debian's record of the enabled user
    // unit (the enablement link, masked); purge takes that too. Then only
    // dpkg's records, the alternatives log and empty system folders remain.
    const std::vector<std::string> afterRemove = m_root.Entries();
    for (const std::string& entry : afterRemove)
        EXPECT_TRUE(entry.rfind("/etc/systemd/user", 0) == 0 ||
                    entry.rfind("/var/lib/systemd", 0) == 0 || entry == "/etc" ||
                    entry == "/etc/systemd" || entry == "/etc/alternatives" || entry == "/opt" ||
                    entry == "/var" || entry == "/var/lib" || entry.rfind("/var/log", 0) == 0)
            << entry;
    ASSERT_EQ(m_root.Dpkg("-P corvalink", output), 0) << output;
    const std::vector<std::string> left = m_root.Entries();
    const std::vector<std::string> folders = {
        "/etc",     "/etc/alternatives", "/etc/systemd", "/etc/systemd/user",        "/opt", "/var",
        "/var/lib", "/var/lib/systemd",  "/var/log",     "/var/log/alternatives.log"};
    for (const std::string& entry : left)
        EXPECT_NE(std::find(folders.begin(), folders.end(), entry), folders.end()) << entry;
    struct stat log {};
    EXPECT_EQ(stat((m_root.Path() + "/var/log/alternatives.log").c_str(), &log), 0);
}

} // namespace
} // namespace cvl::test
