#include "ServiceHarness.h"

#include "CVLClient.h"
#include "CVLPaths.h"
#include "EvfFrame.h"
#include "cvlhost/FrameStamp.h"
#include "cvlhost/StockFrames.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace cvl::test {

namespace {

bool StageOnce() {
    static bool staged = StageInstallation(InstallRoot());
    return staged;
}

// A fake probe command that prints the contents of a file.
void WriteFakeCommand(const std::string& folder, const std::string& name, const std::string& output,
                      const std::string& before) {
    const std::string outputFile = folder + "/" + name + ".out";
    WriteFile(outputFile, output);
    WriteFile(folder + "/" + name, "#!/bin/sh\n" + before + "cat " + ShellQuote(outputFile) + "\n");
    chmod((folder + "/" + name).c_str(), 0755);
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

ServiceProcess::~ServiceProcess() {
    KillAndReap(m_pid);
}

std::string ServiceProcess::ProbeMarker() {
    return TempFolder() + "/probe-started";
}

bool ServiceProcess::Start(const ServiceOptions& options, bool waitUntilRunning) {
    if (!StageOnce())
        return false;
    // A new file under the old name: a library in use keeps its own bytes.
    const std::string library = InstallRoot() + CVL_PATH_FRAMEWORK "/Versions/A/libZelSDK.so";
    if (!options.zelsdkLibrary.empty() &&
        RunCommand("cp " + ShellQuote(options.zelsdkLibrary) + " " + ShellQuote(library + ".new") +
                   " && mv -f " + ShellQuote(library + ".new") + " " + ShellQuote(library)) != 0)
        return false;
    const std::string folder = InstallRoot() + CVL_PATH_FRAMEWORK "/Versions/A/";
    for (const std::string& companion : options.zelsdkCompanions) {
        const std::string to = folder + companion.substr(companion.rfind('/') + 1);
        if (RunCommand("cp " + ShellQuote(companion) + " " + ShellQuote(to + ".new") +
                       " && mv -f " + ShellQuote(to + ".new") + " " + ShellQuote(to)) != 0)
            return false;
    }
    const std::string fakeBin = MakeFolder("fakebin");
    const std::string wait = options.probeSeconds > 0
                                 ? "touch " + ShellQuote(ProbeMarker()) + "\nsleep " +
                                       std::to_string(options.probeSeconds) + "\n"
                                 : "";
    WriteFakeCommand(fakeBin, "csrutil", options.csrutilOutput, wait);
    WriteFakeCommand(fakeBin, "sw_vers", options.swVersOutput, "");

    // Everything of this process's environment, with the fake commands first
    // on PATH and the simulator's settings replaced.
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("PATH=", 0) == 0 || variable.rfind("ZELSIM_", 0) == 0)
            continue;
        variables.push_back(variable);
    }
    variables.push_back("PATH=" + fakeBin + ":" + Environment("PATH"));
    variables.push_back("ZELSIM_CAMERA=" + options.camera);
    if (!options.fail.empty())
        variables.push_back("ZELSIM_FAIL=" + options.fail);
    if (!options.size.empty())
        variables.push_back("ZELSIM_SIZE=" + options.size);
    if (!options.frames.empty())
        variables.push_back("ZELSIM_FRAMES=" + options.frames);
    if (!options.sendLog.empty())
        variables.push_back("ZELSIM_SEND_LOG=" + options.sendLog);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    std::string program = InstallRoot() + CVL_PATH_APPLICATION "/CVLService";
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.stderrFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.stderrFd, STDERR_FILENO);
    const int spawned = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_pid = -1;
        return false;
    }
    if (!waitUntilRunning)
        return true;
    if (!WaitForLogMessage("camera controller started") || !WaitFor(RequestPortServed, seconds(20)))
        return false;
    return !options.zelsdkLibrary.empty() ||
           WaitFor([] { return Zelsim("status").find("attached:") != std::string::npos; });
}

void ServiceProcess::Terminate() {
    if (m_pid > 0)
        kill(m_pid, SIGTERM);
}

int ServiceProcess::WaitForExit(milliseconds timeout) {
    if (m_pid <= 0)
        return -1;
    int status = 0;
    const bool ended = WaitFor(
        [&] {
            status = 0;
            return waitpid(m_pid, &status, WNOHANG) == m_pid;
        },
        timeout);
    if (!ended)
        return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

FrameKind KindOf(const EvfFrame& frame) {
    static const host::StockFrames stock;
    switch (stock.Kind(frame)) {
    case host::FrameKind::Error:
        return FrameKind::Error;
    case host::FrameKind::Busy:
        return FrameKind::Busy;
    case host::FrameKind::Disconnected:
        return FrameKind::Disconnected;
    case host::FrameKind::Live:
        break;
    }
    uint64_t sequence = 0;
    return FrameSequence(frame, sequence) ? FrameKind::Live : FrameKind::Other;
}

bool FrameSequence(const EvfFrame& frame, uint64_t& sequence) {
    host::FrameStamp stamp;
    if (!frame.GetBuf() || frame.GetBufSize() <= 0 ||
        !host::ReadFrameStamp(frame.GetBuf(), static_cast<size_t>(frame.GetBufSize()), stamp))
        return false;
    sequence = stamp.sequence;
    return true;
}

} // namespace cvl::test

namespace cvl::test {

namespace {

// The child's loop: it starts streaming on the first command byte, then takes
// a frame every 10 ms and obeys a command whenever one waits: 'c' answers the
// live frame count, 's' stops.
[[noreturn]] void RunChildClient(int commands, int answers) {
    char start = 0;
    if (read(commands, &start, 1) != 1 || start == 's')
        _exit(0);
    CVLClient client;
    client.StartStreaming();
    int live = 0;
    uint64_t last = 0;
    for (;;) {
        std::unique_ptr<EvfFrame> frame(client.GetFrame());
        uint64_t sequence = 0;
        if (FrameSequence(*frame, sequence) && sequence != last) {
            ++live;
            last = sequence;
        }
        pollfd waiting = {commands, POLLIN, 0};
        if (poll(&waiting, 1, 10) == 1) {
            char command = 0;
            if (read(commands, &command, 1) != 1 || command == 's') {
                client.StopStreaming();
                _exit(0);
            }
            const int32_t count = live;
            if (write(answers, &count, sizeof count) != sizeof count)
                _exit(1);
        }
    }
}

} // namespace

ChildClient::ChildClient() {
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0)
        return;
    if (pipe(fromChild) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        close(toChild[1]);
        close(fromChild[0]);
        RunChildClient(toChild[0], fromChild[1]);
    }
    close(toChild[0]);
    close(fromChild[1]);
    m_toChild = toChild[1];
    m_fromChild = fromChild[0];
}

ChildClient::~ChildClient() {
    Kill();
    if (m_toChild >= 0)
        close(m_toChild);
    if (m_fromChild >= 0)
        close(m_fromChild);
}

void ChildClient::StartStreaming() {
    if (m_pid > 0 && write(m_toChild, "g", 1) != 1)
        Kill();
}

int ChildClient::LiveFrames() {
    if (m_pid <= 0 || write(m_toChild, "c", 1) != 1)
        return -1;
    pollfd answer = {m_fromChild, POLLIN, 0};
    int32_t count = -1;
    if (poll(&answer, 1, 5000) != 1 || read(m_fromChild, &count, sizeof count) != sizeof count)
        return -1;
    return count;
}

void ChildClient::StopStreaming() {
    if (m_pid <= 0 || write(m_toChild, "s", 1) != 1)
        return;
    int status = 0;
    WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; });
    m_pid = -1;
}

void ChildClient::Kill() {
    KillAndReap(m_pid);
}

} // namespace cvl::test
