// The service facing other local users, planted files, signals at awkward
// moments and floods of requests and connections.
#include "CVLClient.h"
#include "CVLPaths.h"
#include "FrameReceiver.h"
#include "FrameTransport.h"
#include "FrameWatch.h"
#include "RequestSender.h"
#include "ServiceHarness.h"
#include "ServiceLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <ostream>
#include <set>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace cvl::test {
namespace {

std::string LogPath() {
    return CVLResolvePath(CVL_PATH_LOG);
}

std::string FramesFolder() {
    return CVLResolvePath(CVL_PATH_SANDBOX_FRAMES);
}

std::string PortSocket(const std::string& name) {
    return RuntimeFolder() + "/CFMessagePort/" + name;
}

unsigned Mode(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

bool IsLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int FramesServed() {
    const std::string status = Zelsim("status");
    const size_t at = status.find("frames served: ");
    return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + 15);
}

// Waits until the simulator has served count more frames.
bool WaitForMoreFrames(int count) {
    const int from = FramesServed();
    return from >= 0 && WaitFor([&] { return FramesServed() >= from + count; });
}

int Connect(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// While it lives, other users can pass through the test's folders (but not
// list them); the installed folders keep their own modes.
class OpenedForOtherUsers {
public:
    OpenedForOtherUsers() { chmod(TempFolder().c_str(), 0711); }
    ~OpenedForOtherUsers() { chmod(TempFolder().c_str(), 0700); }
};

TEST(OtherUsers, NeitherPortsNorFramesNorLogAreWithinTheirReach) {
    if (!CanActAsOtherUser())
        GTEST_SKIP() << "needs root and setpriv to run a client as another user";
    // An earlier run left a log that everybody could read.
    ASSERT_TRUE(WriteFile(LogPath(), "an earlier run\n"));
    chmod(LogPath().c_str(), 0644);
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    CVLClient client;
    client.StartStreamingSandboxMode();
    ASSERT_TRUE(WaitFor([] { return FileExists(SandboxFramePath(0)); }, seconds(60)));
    const std::string frame0 = SandboxFramePath(0);
    EXPECT_EQ(Mode(LogPath()), 0600u);
    EXPECT_EQ(Mode(frame0), 0600u);
    EXPECT_EQ(Mode(FramesFolder()), 0700u);

    OpenedForOtherUsers opened;
    EXPECT_EQ(ProbeAsOtherUser("read", LogPath()), 1);
    EXPECT_EQ(ProbeAsOtherUser("list", FramesFolder()), 1);
    EXPECT_EQ(ProbeAsOtherUser("read", frame0), 1);
    EXPECT_EQ(ProbeAsOtherUser("send", CVL_REQUEST_PORT_NAME), 1);
    EXPECT_EQ(ProbeAsOtherUser("raw", PortSocket(CVL_REQUEST_PORT_NAME)), 1);
    // The same user reaches all of it.
    const std::string probe = ShellQuote(Program("cvl-port-probe"));
    EXPECT_EQ(RunCommand(probe + " read " + ShellQuote(LogPath())), 0);
    EXPECT_EQ(RunCommand(probe + " list " + ShellQuote(FramesFolder())), 0);
    EXPECT_EQ(RunCommand(probe + " read " + ShellQuote(frame0)), 0);
    EXPECT_EQ(RunCommand(probe + " send " CVL_REQUEST_PORT_NAME), 0);
    client.StopStreamingSandboxMode();
    ASSERT_TRUE(WaitForLogMessage("frame sender " + std::to_string(getpid()) + " destroyed"));

    // A port-mode client's frame port is as much out of the other's reach.
    client.EnableSandboxMode(false);
    client.StartStreaming();
    ASSERT_TRUE(WaitForFrame(client, FrameKind::Live));
    const std::string framePort = PortSocket(FramePortName(std::to_string(getpid())));
    EXPECT_EQ(ProbeAsOtherUser("raw", framePort), 1);
    EXPECT_EQ(RunCommand(probe + " raw " + ShellQuote(framePort)), 0);
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live));
    client.StopStreaming();
}

// The service's log, for a failure's message.
std::string LogText() {
    std::string text;
    for (const std::string& line : LogMessages())
        text += line + "\n";
    return text;
}

TEST(PlantedFiles, ALinkAtTheLogIsNotWrittenThrough) {
    const std::string victim = MakeFolder("victims") + "/log";
    ASSERT_TRUE(WriteFile(victim, "untouched\n"));
    std::remove(LogPath().c_str());
    ASSERT_EQ(symlink(victim.c_str(), LogPath().c_str()), 0);

    // No log to wait for: the service runs once its request port answers.
    ServiceProcess service;
    ASSERT_TRUE(service.Start(ServiceOptions(), false));
    // Its first lines are logged before its request port opens.
    ASSERT_TRUE(WaitFor([] { return SendRequestText("probe_note"); }, seconds(20)));
    service.Terminate();
    EXPECT_EQ(service.WaitForExit(seconds(20)), 0);

    std::string contents;
    EXPECT_TRUE(ReadFile(victim, contents));
    EXPECT_EQ(contents, "untouched\n");
    EXPECT_TRUE(IsLink(LogPath()));
}

TEST(PlantedFiles, LinksAtAFrameFileAndTheRequestSocketAreNotWrittenThrough) {
    const std::string victims = MakeFolder("victims");
    const std::string untouched = "untouched\n";
    for (const char* name : {"frame", "socket"})
        ASSERT_TRUE(WriteFile(victims + "/" + name, untouched));
    ASSERT_EQ(symlink((victims + "/frame").c_str(), SandboxFramePath(1).c_str()), 0);
    mkdir((RuntimeFolder() + "/CFMessagePort").c_str(), 0700);
    ASSERT_EQ(symlink((victims + "/socket").c_str(), PortSocket(CVL_REQUEST_PORT_NAME).c_str()), 0);

    ServiceProcess service;
    ASSERT_TRUE(service.Start(ServiceOptions(), false));
    ASSERT_TRUE(WaitFor([] { return SendRequestText("probe_note"); }, seconds(20))) << LogText();
    CVLClient client;
    client.StartStreamingSandboxMode();
    ASSERT_TRUE(WaitFor([] { return FileExists(SandboxFramePath(0)); }, seconds(60))) << LogText();
    // Every frame after the first is offered to the linked slot, and lost.
    ASSERT_TRUE(WaitForMoreFrames(20)) << LogText();

    for (const char* name : {"frame", "socket"}) {
        std::string contents;
        EXPECT_TRUE(ReadFile(victims + "/" + name, contents));
        EXPECT_EQ(contents, untouched) << name;
    }
    EXPECT_TRUE(IsLink(SandboxFramePath(1)));
    // The link at the socket path was replaced by the port's own socket.
    struct stat st;
    ASSERT_EQ(lstat(PortSocket(CVL_REQUEST_PORT_NAME).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    client.StopStreamingSandboxMode();
    service.Terminate();
    EXPECT_EQ(service.WaitForExit(seconds(20)), 0) << LogText();
}

TEST(Signals, AClosedStandardErrorIsAnErrorNotADeath) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    ServiceOptions options;
    options.stderrFd = pipeFds[1];
    ServiceProcess service;
    ASSERT_TRUE(service.Start(options));
    close(pipeFds[1]);
    // The port layer writes a diagnostic line to standard error for this.
    const int fd = Connect(PortSocket(CVL_REQUEST_PORT_NAME));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "GARBAGE GARBAGE!", 16), 16);
    ASSERT_TRUE(WaitFor([fd] {
        char byte;
        return read(fd, &byte, 1) == 0;
    }));
    close(fd);
    ASSERT_TRUE(SendRequestText("probe_still here"));
    EXPECT_TRUE(WaitForLogMessage("received: still here from: probe"));
    EXPECT_EQ(kill(service.Pid(), 0), 0);
    service.Terminate();
    EXPECT_EQ(service.WaitForExit(seconds(20)), 0);
}

bool SigtermCaught(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    }
    return false;
}

TEST(Signals, ASigtermBeforeTheLogIsOpenedEndsTheServiceInOrder) {
    // Opening a fifo for writing waits for a reader: the service is held
    // inside the log's opening until the test reads.
    std::remove(LogPath().c_str());
    ASSERT_EQ(mkfifo(LogPath().c_str(), 0600), 0);
    ServiceProcess service;
    ASSERT_TRUE(service.Start(ServiceOptions(), false));
    ASSERT_TRUE(WaitFor([&] { return SigtermCaught(service.Pid()); }))
        << "no SIGTERM handler before the log was opened";
    service.Terminate();
    // Opened without waiting for the writer, so that a service that never
    // opens its log fails the case below rather than hanging it here.
    const int fifo = open(LogPath().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    // Read until the service closes its end, but never wait past a minute:
    // a service that does not end fails the case instead of hanging it.
    std::string log;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd reader = {fifo, POLLIN, 0};
        if (poll(&reader, 1, 250) <= 0)
            continue;
        const ssize_t n = read(fifo, buffer, sizeof buffer);
        if (n <= 0)
            break;
        log.append(buffer, static_cast<size_t>(n));
    }
    close(fifo);
    EXPECT_EQ(service.WaitForExit(seconds(20)), 0);
    const std::vector<std::string> lines = SplitLines(log);
    ASSERT_FALSE(lines.empty());
    int terminating = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() > 20 && lines[i].substr(20) == "terminating cvl service..")
            terminating = static_cast<int>(i);
    }
    EXPECT_GE(terminating, 0) << log;
    EXPECT_EQ(lines.back().substr(20), "cvl service done");
}

// cvl-request-flood in a process of its own, sending until it is ended.
class FloodingProcess {
public:
    explicit FloodingProcess(const char* mode) {
        const std::string program = Program("cvl-request-flood");
        m_pid = fork();
        if (m_pid == 0) {
            execl(program.c_str(), program.c_str(), mode, static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~FloodingProcess() { KillAndReap(m_pid); }
    FloodingProcess(const FloodingProcess&) = delete;
    FloodingProcess& operator=(const FloodingProcess&) = delete;
    bool Started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

// Flood requests the service has handled: notes, or stream requests.
int FloodLinesHandled(const std::string& kind = "note ") {
    int handled = 0;
    for (const std::string& message : LogMessages())
        handled += message.rfind("received: " + kind, 0) == 0 &&
                   message.find(" from: flood") != std::string::npos;
    return handled;
}

struct Flood {
    const char* mode;
    int processes;
};

void PrintTo(const Flood& flood, std::ostream* out) {
    *out << flood.mode << " identifier, " << flood.processes << " process(es)";
}

std::string FloodName(const testing::TestParamInfo<Flood>& info) {
    return std::string(info.param.mode) + "_identifier_" + std::to_string(info.param.processes) +
           "_process" + (info.param.processes > 1 ? "es" : "");
}

// Processes that flood the request port, each under one sender identifier
// of its own or a new one for every request, delay another process's
// request by a few of the controller's passes, not by their whole backlog:
// the queue takes turns between processes, told apart by what the platform
// says about the sender. Four processes of one identifier each filled a
// queue bounded by count and identifier alone.
class FloodingProcessTest : public testing::TestWithParam<Flood> {};

TEST_P(FloodingProcessTest, DelaysAnotherClientsStreamByAFewSecondsAtMost) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    std::vector<std::unique_ptr<FloodingProcess>> floods;
    for (int i = 0; i < GetParam().processes; ++i) {
        floods.push_back(std::make_unique<FloodingProcess>(GetParam().mode));
        ASSERT_TRUE(floods.back()->Started());
    }
    // The flood has filled its share of the queue before the client asks.
    ASSERT_TRUE(WaitForLogMessage("request queue full, dropping requests", 1, seconds(60)));
    ASSERT_TRUE(WaitFor([] { return FloodLinesHandled() >= 3; }, seconds(60)));

    CVLClient client;
    const auto asked = std::chrono::steady_clock::now();
    client.StartStreaming();
    const std::string received = "received: StartStreaming from: " + std::to_string(getpid());
    ASSERT_TRUE(WaitForLogMessage(received, 1, seconds(60)));
    const double taken =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live, seconds(30)));
    std::printf("flood of %s identifier(s) from %d process(es): the client's request was handled "
                "after %.1f s\n",
                GetParam().mode, GetParam().processes, taken);
    // A few passes; a flood's whole share (256 requests) would take 25 s.
    EXPECT_LT(taken, 10.0);
    // Once per burst: the flood never lets the queue drain.
    EXPECT_EQ(CountLogMessages("request queue full, dropping requests"), 1);
    client.StopStreaming();
}

INSTANTIATE_TEST_SUITE_P(RequestFlood, FloodingProcessTest,
                         testing::Values(Flood{"one", 1}, Flood{"many", 1}, Flood{"one", 4}),
                         FloodName);

// Stream requests under ever new sender identifiers, none of which has a
// frame port, from one process or several. Each used to leave a frame
// sender with a thread of its own that never failed while another client
// streamed, so the service grew by ten threads a second, and the next
// client waited behind all of them once the first stopped. Now no sender is
// kept for them: the service's threads and descriptors stay as they were,
// the streaming client goes on, and the next one takes over at once.
class StartFloodTest : public testing::TestWithParam<int> {};

TEST_P(StartFloodTest, CostsTheServiceNoThreadsAndHoldsUpNoStream) {
    ChildClient next; // forked before this process starts any thread
    ServiceProcess service;
    CVLClient first;
    ASSERT_TRUE(StartLiveStream(service, first));
    const int threadsBefore = Threads(service.Pid());
    const int descriptorsBefore = OpenDescriptors(service.Pid());

    std::vector<std::unique_ptr<FloodingProcess>> floods;
    for (int i = 0; i < GetParam(); ++i) {
        floods.push_back(std::make_unique<FloodingProcess>("starts"));
        ASSERT_TRUE(floods.back()->Started());
    }
    constexpr int kHandled = 200;
    ASSERT_TRUE(
        WaitFor([] { return FloodLinesHandled("StartStreaming") >= kHandled; }, seconds(120)));
    next.StartStreaming();
    ASSERT_TRUE(WaitForLogMessage("frame sender " + std::to_string(next.Pid()) + " started", 1,
                                  seconds(30)));
    const int threads = Threads(service.Pid());
    const int descriptors = OpenDescriptors(service.Pid());
    const WatchedFrames watched = WatchUntil(first, 10);

    first.StopStreaming();
    const auto stopped = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return next.LiveFrames() > 0; }, seconds(60)));
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    std::printf("%d flooding process(es), %d stream requests handled: service threads %d -> %d, "
                "descriptors %d -> %d; the next client's first live frame %.1f s after the "
                "first client stopped\n",
                GetParam(), FloodLinesHandled("StartStreaming"), threadsBefore, threads,
                descriptorsBefore, descriptors, waited);
    // The next client's sender, and room for what comes and goes.
    EXPECT_LE(threads, threadsBefore + 8);
    EXPECT_LE(descriptors, descriptorsBefore + 32);
    EXPECT_GE(watched.UniqueLive(), 10) << "the first client's stream went on";
    EXPECT_LT(waited, 3.0);
    // Every identifier of the flood is new: each has its line, none two.
    const std::string refused = " not added, the client has no frame port";
    std::set<std::string> identifiers;
    int refusals = 0;
    for (const std::string& message : LogMessages()) {
        if (message.rfind("frame sender flood", 0) != 0 || message.size() < refused.size() ||
            message.compare(message.size() - refused.size(), refused.size(), refused) != 0)
            continue;
        ++refusals;
        identifiers.insert(message.substr(0, message.size() - refused.size()));
    }
    // All but the one the controller may be handling as the log is read.
    EXPECT_GE(refusals, kHandled - 1);
    EXPECT_EQ(static_cast<int>(identifiers.size()), refusals);
    next.StopStreaming();
}

INSTANTIATE_TEST_SUITE_P(RequestFlood, StartFloodTest, testing::Values(1, 3),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "_process" +
                                    (info.param > 1 ? "es" : "");
                         });

// A host that opens and closes its stream faster than the controller's pace
// loses no request: every one is carried out, in its order.
TEST(RequestFlood, AHostThatStartsAndStopsFastLosesNoRequest) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    const std::string id = std::to_string(getpid());
    // The host's frame port is open throughout, as a host's is.
    CVLClient host;
    host.Start();
    constexpr int kCycles = 40;
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_TRUE(SendRequestText(id + "_StartStreaming"));
        ASSERT_TRUE(SendRequestText(id + "_StopStreaming"));
    }
    ASSERT_TRUE(WaitForLogMessage("received: StopStreaming from: " + id, kCycles, seconds(60)));
    ASSERT_TRUE(WaitForLogMessage("frame sender " + id + " destroyed", kCycles));
    std::vector<std::string> handled;
    for (const std::string& message : LogMessages()) {
        if (message.rfind("received: ", 0) == 0 &&
            message.find(" from: " + id) != std::string::npos)
            handled.push_back(message);
    }
    ASSERT_EQ(handled.size(), 2u * kCycles);
    for (int i = 0; i < kCycles; ++i) {
        EXPECT_EQ(handled[2 * i], "received: StartStreaming from: " + id);
        EXPECT_EQ(handled[2 * i + 1], "received: StopStreaming from: " + id);
    }
    EXPECT_EQ(CountLogMessages("request queue full, dropping requests"), 0);
    host.Stop();
}

// A client that asks for its stream while its share of the queue is full of
// its frame-rate reports, and goes on reporting, keeps its start: the
// reports that later ones follow make room, the older ones first, so the
// start soon comes first in its line.
TEST(RequestFlood, AClientsStartOutlastsItsOwnFloodOfReports) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    CVLClient client;
    client.Start();
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(client.SendRequest("plugin fps: " + std::to_string(i)));
    ASSERT_TRUE(client.SendRequest("StartStreaming"));
    for (int i = 300; i < 600; ++i)
        ASSERT_TRUE(client.SendRequest("plugin fps: " + std::to_string(i)));
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live, seconds(30)));
    EXPECT_EQ(CountLogMessages("received: StartStreaming from: " + std::to_string(getpid())), 1);
    EXPECT_EQ(CountLogMessages("request queue full, dropping requests"), 1);
    client.StopStreaming();
}

TEST(RequestFlood, RequestTextCannotForgeOrBlowUpTheLog) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(SendRequestText("1_x\n2026-01-01 00:00:00 forged line\r"));
    // An escaped newline and the same four characters sent literally differ.
    ASSERT_TRUE(SendRequestText("1_a\\x0Ab"));
    const std::string noSeparator(3000, 'A');
    ASSERT_TRUE(SendRequestText(noSeparator));
    // A burst of overlong requests is one line.
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(SendRequestText(std::string(100000, 'B')));
    // C1 controls as raw bytes and in UTF-8, and the Unicode line and
    // paragraph separators, in a sender identifier.
    ASSERT_TRUE(SendRequestText("c1\x85"
                                "a\x9B"
                                "b\xC2\x85\xE2\x80\xA8\xE2\x80\xA9_SandboxTest"));
    ASSERT_TRUE(SendRequestText("2_plugin fps: 29.97"));
    ASSERT_TRUE(WaitForLogMessage("received: plugin fps: 29.97 from: 2"));
    EXPECT_EQ(CountLogMessages("received: SandboxTest from: "
                               "c1\\x85a\\x9Bb\\xC2\\x85\\xE2\\x80\\xA8\\xE2\\x80\\xA9"),
              1);
    std::string raw;
    ASSERT_TRUE(ReadFile(LogPath(), raw));
    for (const char* separator : {"\x85", "\x9B", "\xE2\x80\xA8", "\xE2\x80\xA9"})
        EXPECT_EQ(raw.find(separator), std::string::npos) << separator;
    EXPECT_EQ(CountLogMessages("received: x\\x0A2026-01-01 00:00:00 forged line\\x0D from: 1"), 1);
    EXPECT_EQ(CountLogMessages("received: a\\\\x0Ab from: 1"), 1);
    const std::string shown = std::string(256, 'A') + "... (3000 bytes)";
    EXPECT_EQ(CountLogMessages("received: " + shown + " from: " + shown), 1);
    EXPECT_EQ(CountLogMessages("request too long, dropped"), 1);
    for (const std::string& message : LogMessages())
        EXPECT_EQ(message.find("forged line"), message.find("forged line\\x0D")) << message;
    struct stat st;
    ASSERT_EQ(stat(LogPath().c_str(), &st), 0);
    EXPECT_LT(st.st_size, 20000);
}

// The sender identifier names the frame sender in its own lines: there too
// it cannot start a line of its own nor blow the line up.
TEST(RequestFlood, SenderIdentifierCannotForgeTheFrameSendersLines) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    // A client serves a frame port of such a name (short enough for a
    // socket path) and goes once frames come: its sender starts, fails on
    // the next frame and is destroyed.
    const std::string served = "x\n2026-01-01 00:00:00 f";
    const std::string shownServed = "x\\x0A2026-01-01 00:00:00 f";
    auto receiver = std::make_unique<FrameReceiver>();
    receiver->SetPortAddress(FramePortName(served));
    receiver->Start();
    ASSERT_TRUE(SendRequestText(served + "_StartStreaming"));
    ASSERT_TRUE(WaitForLogMessage("frame sender " + shownServed + " started", 1, seconds(30)));
    ASSERT_TRUE(WaitFor(
        [&] {
            std::unique_ptr<EvfFrame> frame(receiver->GetFrame());
            return KindOf(*frame) == FrameKind::Live;
        },
        seconds(30)));
    receiver.reset();
    ASSERT_TRUE(WaitForLogMessage("frame sender " + shownServed + " destroyed", 1, seconds(30)));
    EXPECT_EQ(CountLogMessages("frame sender " + shownServed + " was unable to send a frame"), 1);

    // Without a frame port no sender is added, and the line says so (once
    // for requests that come back to back).
    const std::string forged = "x\n2026-01-01 00:00:00 forged line";
    ASSERT_TRUE(SendRequestText(forged + "_StartStreaming"));
    ASSERT_TRUE(WaitForLogMessage("frame sender x\\x0A2026-01-01 00:00:00 forged line not added, "
                                  "the client has no frame port",
                                  1, seconds(30)));
    const std::string longId(4000, 'C');
    ASSERT_TRUE(SendRequestText(longId + "_StartStreaming"));
    ASSERT_TRUE(WaitForLogMessage("received: StartStreaming from: " + std::string(256, 'C') +
                                      "... (4000 bytes)",
                                  1, seconds(30)));
    for (const std::string& message : LogMessages()) {
        EXPECT_NE(message.rfind("forged line", 0), 0u) << message;
        EXPECT_NE(message.rfind("f ", 0), 0u) << message;
        EXPECT_LT(message.size(), 400u);
    }
}

TEST(ConnectionFlood, SilentAndHalfHeaderPeersDoNotLockClientsOut) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    const std::string path = PortSocket(CVL_REQUEST_PORT_NAME);
    std::vector<int> flood;
    int refusedAt = -1;
    // Steps of 500 silent connections, half of them with half a header,
    // well beyond the port's cap of 1024: a request gets through after each.
    for (int step = 1; step <= 8 && refusedAt < 0; ++step) {
        for (int i = 0; i < 500; ++i) {
            const int fd = Connect(path);
            ASSERT_GE(fd, 0);
            if (i % 2 == 0) {
                ASSERT_EQ(write(fd, "CFMP\1\1\0\0", 8), 8);
            }
            flood.push_back(fd);
        }
        if (!SendRequestText("probe_after " + std::to_string(flood.size())))
            refusedAt = static_cast<int>(flood.size());
    }
    std::printf("silent connections held: %zu, first refused request after: %d\n", flood.size(),
                refusedAt);
    EXPECT_EQ(refusedAt, -1);
    CVLClient client;
    client.StartStreaming();
    EXPECT_TRUE(WaitForFrame(client, FrameKind::Live, seconds(30)));
    for (int fd : flood)
        close(fd);
    client.StopStreaming();
}

} // namespace
} // namespace cvl::test
