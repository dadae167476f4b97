// How the service ends: on SIGTERM, on a "Close" request, on both, during the
// start-up probe, and when the SDK cannot start. Always status 0, and the
// stop lines in their order. And a second service started beside a running
// one, which ends at once with status 0 and touches nothing of the first.
#include "CVLClient.h"
#include "CVLPaths.h"
#include "FrameTransport.h"
#include "FrameWatch.h"
#include "RequestSender.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace cvl::test {
namespace {

const std::vector<std::string> kStopLines = {
    "camera controller stopped", "frame grabber stopped", "request listener stopped",
    "command processor stopped", "zelsdk uninitialized",  "cvl service done"};

// Every stop line once, in order, and the last one last.
void ExpectOrderlyStop(const std::vector<std::string>& log) {
    int at = 0;
    for (const std::string& line : kStopLines) {
        EXPECT_EQ(std::count(log.begin(), log.end(), line), 1) << line;
        const int found = FindLogMessage(log, line, at);
        EXPECT_GE(found, at) << line << " missing or out of order";
        at = found < 0 ? at : found;
    }
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "cvl service done");
}

// A stop that takes "about a second" on an idle machine; the bound leaves
// room for a loaded one.
constexpr milliseconds kStopBound = seconds(5);

TEST(Shutdown, SigtermWhileStreamingEndsInOrderAndDestroysTheSenders) {
    ServiceProcess service;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(service, client));

    const auto asked = std::chrono::steady_clock::now();
    service.Terminate();
    EXPECT_EQ(service.WaitForExit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, kStopBound);

    const std::vector<std::string> log = LogMessages();
    ExpectOrderlyStop(log);
    const int terminating = FindLogMessage(log, "terminating cvl service..");
    EXPECT_GE(terminating, 0);
    EXPECT_LT(terminating, FindLogMessage(log, "camera controller stopped"));
    // The closing commands ran, and the client's sender went with the
    // controller, between its stop line and the grabber's.
    const int stopped = FindLogMessage(log, "camera controller stopped");
    EXPECT_LT(FindLogMessage(log, "CloseSessionCommand: session closed"), stopped);
    const int destroyed =
        FindLogMessage(log, "frame sender " + std::to_string(getpid()) + " destroyed");
    EXPECT_GT(destroyed, stopped);
    EXPECT_LT(destroyed, FindLogMessage(log, "frame grabber stopped"));
    client.Stop();
}

TEST(Shutdown, ACloseRequestEndsTheServiceWithClientsStillStreaming) {
    ServiceProcess service;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(service, client));
    client.CloseService();
    EXPECT_EQ(service.WaitForExit(), 0);
    const std::vector<std::string> log = LogMessages();
    ExpectOrderlyStop(log);
    EXPECT_GE(FindLogMessage(log, "received: Close from: " + std::to_string(getpid())), 0);
    EXPECT_EQ(CountLogMessages("terminating cvl service.."), 0);
    client.Stop();
}

TEST(Shutdown, ABareCloseEndsTheServiceInOrder) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(SendRequestText("Close"));
    EXPECT_EQ(service.WaitForExit(), 0);
    const std::vector<std::string> log = LogMessages();
    ExpectOrderlyStop(log);
    EXPECT_GE(FindLogMessage(log, "received: Close from: Close"), 0);
}

TEST(Shutdown, CloseAndSigtermTogetherGiveOneOrderlyStop) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(SendRequestText("1_Close"));
    service.Terminate();
    EXPECT_EQ(service.WaitForExit(), 0);
    const std::vector<std::string> log = LogMessages();
    ExpectOrderlyStop(log);
    EXPECT_EQ(CountLogMessages("terminating cvl service.."), 1);
}

TEST(Shutdown, SigtermDuringTheProbeStopsAtTheFirstPass) {
    ServiceOptions options;
    options.probeSeconds = 2;
    ServiceProcess service;
    ASSERT_TRUE(service.Start(options, false));
    ASSERT_TRUE(WaitFor([] { return FileExists(ServiceProcess::ProbeMarker()); }));
    service.Terminate();
    EXPECT_EQ(service.WaitForExit(), 0);
    const std::vector<std::string> log = LogMessages();
    ExpectOrderlyStop(log);
    // The probe still completes and the controller is still built.
    EXPECT_GE(FindLogMessage(log, "sandbox mode disabled"), 0);
    EXPECT_GE(FindLogMessage(log, "camera controller started"), 0);
    EXPECT_EQ(CountLogMessages("terminating cvl service.."), 1);
}

// Keeps the simulator's control server busy: it serves one connection at a
// time and reads a line, which this one trickles without ever ending it. The
// SDK's termination waits for the server, so the service stays inside
// ZelTerminateSDK until Release().
class ControlHold {
public:
    bool Connect() {
        const std::string folder = RuntimeFolder() + "/zelsim";
        DIR* dir = opendir(folder.c_str());
        if (!dir)
            return false;
        std::string path;
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0)
                path = folder + "/" + name;
        }
        closedir(dir);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof address.sun_path)
            return false;
        path.copy(address.sun_path, path.size());
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0 || connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        m_trickle = std::thread([this] {
            while (!m_release) {
                if (send(m_fd, "x", 1, MSG_NOSIGNAL) != 1)
                    return;
                for (int i = 0; i < 20 && !m_release; ++i)
                    std::this_thread::sleep_for(milliseconds(10));
            }
        });
        return true;
    }
    void Release() {
        m_release = true;
        if (m_trickle.joinable())
            m_trickle.join();
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }
    ~ControlHold() { Release(); }

private:
    int m_fd = -1;
    std::atomic<bool> m_release{false};
    std::thread m_trickle;
};

TEST(Shutdown, SigtermWhileTheSdkTerminatesStillGetsItsLine) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    ControlHold hold;
    ASSERT_TRUE(hold.Connect());
    ASSERT_TRUE(SendRequestText("1_Close"));
    ASSERT_TRUE(
        WaitFor([] { return CountLogMessages("command processor stopped") == 1; }, seconds(20)));
    service.Terminate();
    hold.Release();
    EXPECT_EQ(service.WaitForExit(), 0);
    const std::vector<std::string> log = LogMessages();
    ExpectOrderlyStop(log);
    const int terminating = FindLogMessage(log, "terminating cvl service..");
    EXPECT_GT(terminating, FindLogMessage(log, "command processor stopped"));
    EXPECT_LT(terminating, FindLogMessage(log, "cvl service done"));
    EXPECT_EQ(CountLogMessages("terminating cvl service.."), 1);
}

TEST(Shutdown, AnSdkThatCannotStartEndsAtOnce) {
    ServiceOptions options;
    options.fail = "ZelInitializeSDK=2";
    ServiceProcess service;
    ASSERT_TRUE(service.Start(options, false));
    EXPECT_EQ(service.WaitForExit(), 0);
    const std::vector<std::string> log = LogMessages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "unable to initialize zelsdk");
    EXPECT_EQ(log.back(), "cvl service done");
    EXPECT_EQ(CountLogMessages("starting camera controller.."), 0);
    EXPECT_FALSE(SendRequestText("1_StartStreaming")) << "a request port without a service";
}

std::string ReadText(const std::string& path) {
    std::string text;
    ReadFile(path, text);
    return text;
}

TEST(SecondService, LeavesTheRunningServicesLogFramesAndPortAloneAndEnds) {
    ServiceProcess first;
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(SendRequestText("77_StartStreamingSandboxMode"));
    const std::string frame = SandboxFramePath(0);
    ASSERT_TRUE(WaitFor([&] { return FileExists(frame); }, seconds(60)));
    const std::string logBefore = ReadText(CVLResolvePath(CVL_PATH_LOG));

    const std::string errors = TempFolder() + "/second-stderr";
    const int errorsFd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(errorsFd, 0);
    ServiceOptions options;
    options.stderrFd = errorsFd;
    ServiceProcess second;
    ASSERT_TRUE(second.Start(options, false));
    EXPECT_EQ(second.WaitForExit(seconds(30)), 0);
    close(errorsFd);
    EXPECT_NE(ReadText(errors).find("another service is running"), std::string::npos)
        << ReadText(errors);

    // The first one's log went on where it was, its frames keep coming and
    // its port still takes requests.
    const std::string frameBefore = ReadText(frame);
    ASSERT_TRUE(SendRequestText("1_after the second"));
    ASSERT_TRUE(WaitForLogMessage("received: after the second from: 1"));
    const std::string logAfter = ReadText(CVLResolvePath(CVL_PATH_LOG));
    EXPECT_EQ(logAfter.compare(0, logBefore.size(), logBefore), 0) << logAfter;
    EXPECT_EQ(CountLogMessages("camera controller started"), 1);
    EXPECT_TRUE(
        WaitFor([&] { return FileExists(frame) && ReadText(frame) != frameBefore; }, seconds(30)));
    first.Terminate();
    EXPECT_EQ(first.WaitForExit(kStopBound), 0);
}

TEST(SecondService, OfTwoStartedAtOnceOneRunsAndTheOtherEnds) {
    ServiceProcess one;
    ServiceProcess two;
    ASSERT_TRUE(one.Start(ServiceOptions(), false));
    ASSERT_TRUE(two.Start(ServiceOptions(), false));
    int status = -1;
    const auto until = std::chrono::steady_clock::now() + seconds(30);
    while (one.Pid() > 0 && two.Pid() > 0 && std::chrono::steady_clock::now() < until) {
        status = one.WaitForExit(milliseconds(50));
        if (one.Pid() > 0)
            status = two.WaitForExit(milliseconds(50));
    }
    ASSERT_NE(one.Pid() > 0, two.Pid() > 0) << "not exactly one of them ended";
    EXPECT_EQ(status, 0);
    ServiceProcess& running = one.Pid() > 0 ? one : two;
    ASSERT_TRUE(WaitForLogMessage("camera controller started"));
    ASSERT_TRUE(WaitFor(RequestPortServed, seconds(20)));
    ASSERT_TRUE(SendRequestText("1_still here"));
    ASSERT_TRUE(WaitForLogMessage("received: still here from: 1"));
    running.Terminate();
    EXPECT_EQ(running.WaitForExit(kStopBound), 0);
    // One service's lines alone, from start to end.
    const std::vector<std::string> log = LogMessages();
    EXPECT_EQ(std::count(log.begin(), log.end(), "zelsdk initialized"), 1);
    ExpectOrderlyStop(log);
}

} // namespace
} // namespace cvl::test
