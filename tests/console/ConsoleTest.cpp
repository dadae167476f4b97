// The console program driven through a pseudo-terminal, as an operator uses
// it, against a request port that records every request byte for byte.
#include "CVLPaths.h"
#include "PortTestSupport.h"
#include "SuccessReply.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace cvl::test;

const std::string kMenu = "menu:\n"
                          "(l) view log\n"
                          "(q) quit\n"
                          "(r) restart corvalink service\n"
                          "(s) start session (sandbox mode)\n"
                          "(t) stop session (sandbox mode)\n"
                          "> ";

using RequestPort = RecordingRequestPort;

// The console on a terminal of its own: line input, no echo, output bytes as
// written (no newline translation), Ctrl-C and Ctrl-D as on any terminal.
class Console {
public:
    Console() {
        termios settings = {};
        settings.c_iflag = ICRNL;
        settings.c_oflag = 0;
        settings.c_cflag = CS8 | CREAD;
        settings.c_lflag = ICANON | ISIG;
        settings.c_cc[VINTR] = 3;
        settings.c_cc[VEOF] = 4;
        settings.c_cc[VMIN] = 1;
        cfsetispeed(&settings, B38400);
        cfsetospeed(&settings, B38400);
        m_pid = forkpty(&m_master, nullptr, &settings, nullptr);
        if (m_pid == 0) {
            const std::string program = Program("CVLClient");
            execl(program.c_str(), "CVLClient", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Console() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_master >= 0)
            close(m_master);
    }
    pid_t Pid() const { return m_pid; }
    bool Started() const { return m_pid > 0; }

    void Type(const std::string& text) {
        ASSERT_EQ(write(m_master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Reads until the output not yet taken ends with text (or holds it, with
    // anywhere), at most timeout long.
    bool ReadUntil(const std::string& text, bool anywhere = false,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            if (anywhere
                    ? m_output.find(text, m_checked) != std::string::npos
                    : (m_output.size() - m_checked >= text.size() &&
                       m_output.compare(m_output.size() - text.size(), text.size(), text) == 0))
                return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd fd = {m_master, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            const ssize_t count = read(m_master, buffer, sizeof buffer);
            if (count <= 0)
                return false; // the console has gone
            m_output.append(buffer, static_cast<size_t>(count));
        }
    }
    // The output so far; later reads look only at what follows.
    std::string Take() {
        std::string output = m_output.substr(m_checked);
        m_checked = m_output.size();
        return output;
    }
    // The exit status once the console has ended, -1 when it did not end in
    // time or not normally.
    int Wait() {
        int status = 0;
        const bool ended = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; });
        if (!ended)
            return -1;
        m_exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    int m_master = -1;
    pid_t m_pid = -1;
    bool m_exited = false;
    std::string m_output;
    size_t m_checked = 0;
};

std::string Request(pid_t pid, const std::string& command) {
    return std::to_string(pid) + "_" + command + std::string(1, '\0');
}

TEST(Console, ShowsTheMenuAndEndsOnQWithDone) {
    Console console;
    ASSERT_TRUE(console.Started());
    ASSERT_TRUE(console.ReadUntil(kMenu));
    EXPECT_EQ(console.Take(), kMenu);
    console.Type("q\n");
    ASSERT_TRUE(console.ReadUntil("done\n"));
    EXPECT_EQ(console.Take(), "\ndone\n");
    EXPECT_EQ(console.Wait(), 0);
}

TEST(Console, SendsExactlyTheRequestsItsKeysNameAndNothingForOtherKeys) {
    RequestPort service;
    Console console;
    ASSERT_TRUE(console.ReadUntil(kMenu));
    console.Take();
    int expectedMenus = 0;
    for (const char* line : {"S\n", "T\n", "R\n", "L\n", "Q\n", "x\n", "s\n", "t\n", "r\n"}) {
        console.Type(line);
        ASSERT_TRUE(console.ReadUntil("\n" + kMenu)) << line;
        EXPECT_EQ(console.Take(), "\n" + kMenu) << line;
        ++expectedMenus;
    }
    const pid_t pid = console.Pid();
    EXPECT_EQ(service.Payloads(),
              (std::vector<std::string>{Request(pid, "StartStreamingSandboxMode"),
                                        Request(pid, "StopStreaming"), Request(pid, "Close")}));
    console.Type("q\n");
    ASSERT_TRUE(console.ReadUntil("done\n"));
    EXPECT_EQ(console.Wait(), 0);
    // The console never starts its frame port, so it never reports a rate.
    EXPECT_EQ(service.Payloads().size(), 3u);
}

TEST(Console, DiscardsTheCharacterAfterEveryKey) {
    RequestPort service;
    Console console;
    ASSERT_TRUE(console.ReadUntil(kMenu));
    console.Take();
    // s acts, x is discarded; the Enter is then read as the next key, which
    // does nothing, and the character typed after it is discarded.
    console.Type("sx\n");
    ASSERT_TRUE(console.ReadUntil("\n" + kMenu));
    EXPECT_EQ(console.Take(), "\n" + kMenu);
    console.Type("\n");
    ASSERT_TRUE(console.ReadUntil("\n" + kMenu));
    EXPECT_EQ(console.Take(), "\n" + kMenu);
    EXPECT_EQ(service.Payloads(),
              std::vector<std::string>{Request(console.Pid(), "StartStreamingSandboxMode")});
    console.Type("q\n");
    ASSERT_TRUE(console.ReadUntil("done\n"));
    EXPECT_EQ(console.Take(), "\ndone\n");
    EXPECT_EQ(console.Wait(), 0);
}

TEST(Console, EndOfInputEndsItAsQDoes) {
    Console console;
    ASSERT_TRUE(console.ReadUntil(kMenu));
    console.Take();
    console.Type("\x04"); // Ctrl-D on an empty line: end of input
    ASSERT_TRUE(console.ReadUntil("done\n"));
    EXPECT_EQ(console.Take(), "\ndone\n");
    EXPECT_EQ(console.Wait(), 0);
}

TEST(Console, ShowsTheLastHundredLogLinesUntilInterruptedThenTheMenu) {
    std::string log;
    for (int i = 1; i <= 150; ++i)
        log += "2026-01-01 00:00:00 line " + std::to_string(i) + "\n";
    ASSERT_TRUE(WriteFile(CVLResolvePath(CVL_PATH_LOG), log));

    Console console;
    ASSERT_TRUE(console.ReadUntil(kMenu));
    console.Take();
    console.Type("l\n");
    ASSERT_TRUE(console.ReadUntil("line 150\n", true));
    const std::string shown = console.Take();
    EXPECT_EQ(shown.find(" line 50\n"), std::string::npos);
    EXPECT_NE(shown.find(" line 51\n"), std::string::npos);
    // It follows the file.
    ASSERT_TRUE(WriteFile(CVLResolvePath(CVL_PATH_LOG), log + "2026-01-01 00:00:01 line 151\n"));
    ASSERT_TRUE(console.ReadUntil("line 151\n", true));
    // Ctrl-C ends the viewer only.
    console.Type("\x03");
    ASSERT_TRUE(console.ReadUntil("\n" + kMenu, true));
    console.Take();
    console.Type("q\n");
    ASSERT_TRUE(console.ReadUntil("done\n"));
    EXPECT_EQ(console.Wait(), 0);
}

} // namespace
