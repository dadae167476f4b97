// The whole application in a staged installation, on its own X server,
// driven with xdotool. The prompt program named by CVL_AUTH_ASKPASS grants,
// cancels or refuses the administrator right.
//
// Every case has its own X server, HOME and GNUstep temporary folder (TEMP),
// so the notification and pasteboard servers the application starts are its
// own; they detach from it, and this process, as subreaper, inherits and ends
// them. Input is sent only once the application has finished launching: the
// first press makes GNUstep's X backend register with the notification
// server, and a press that arrives while the workspace is still connecting
// to it registers the application twice, which leaves it behind an exception
// panel ("registration with registered client").
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <regex>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace cvl::test;

const char* const kAppFolder = "/Applications/Corvalink";
const char* const kRemoved[] = {
    "/Library/Frameworks/ZelSDK.framework",
    "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin",
    "/Library/LaunchAgents/com.corvalink.cvlservice.plist",
    kAppFolder,
};

// Generous bounds for a loaded machine; the waits end as soon as the
// condition holds.
const std::chrono::seconds kLaunchTimeout(60);
const std::chrono::seconds kStepTimeout(30);

// Children of this process, zombies included, read from /proc.
std::vector<pid_t> Children() {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (!proc)
        return children;
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        std::string stat;
        if (pid <= 0 || !ReadFile("/proc/" + std::to_string(pid) + "/stat", stat))
            continue;
        // "pid (name) state ppid ...": the name may hold blanks and parentheses.
        const size_t end = stat.rfind(')');
        if (end == std::string::npos || end + 4 >= stat.size())
            continue;
        if (std::atoi(stat.c_str() + end + 4) == getpid())
            children.push_back(pid);
    }
    closedir(proc);
    return children;
}

class UninstallerApp : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        m_root = MakeFolder("stage");
        ASSERT_TRUE(StageInstallation(m_root));
        for (const char* path : kRemoved)
            ASSERT_TRUE(FileExists(m_root + path)) << path;
        StartXvfb();
        ASSERT_GE(m_display, 0);
    }

    void TearDown() override {
        std::string log;
        if (HasFailure() && ReadFile(TempFolder() + "/stderr.txt", log))
            std::cerr << "Application's standard error:\n" << log;
        End(m_app, SIGKILL);
        End(m_xvfb, SIGTERM);
        // What the application left: its notification and pasteboard servers.
        for (int round = 0; round < 10; ++round) {
            const std::vector<pid_t> children = Children();
            if (children.empty())
                break;
            for (pid_t child : children)
                kill(child, SIGKILL);
            for (pid_t child : children)
                waitpid(child, nullptr, 0);
        }
    }

    static void End(pid_t& pid, int signal) {
        if (pid <= 0)
            return;
        kill(pid, signal);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    void StartXvfb() {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        m_xvfb = fork();
        if (m_xvfb == 0) {
            close(fds[0]);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            const std::string fd = std::to_string(fds[1]);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            // -noreset: every xdotool run is a client, and the server resets
            // when the last client leaves; an application connecting during
            // that reset is refused ("Unable to connect to X Server").
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                   "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        m_display = number.empty() ? -1 : std::atoi(number.c_str());
    }

    // Starts the staged application; promptStatus is the prompt's answer.
    void StartApp(int promptStatus) {
        const std::string prompt = TempFolder() + "/prompt.sh";
        WriteFile(prompt, "#!/bin/sh\necho asked >> '" + TempFolder() + "/prompt.log'\nexit " +
                              std::to_string(promptStatus) + "\n");
        chmod(prompt.c_str(), 0755);
        const std::string home = MakeFolder("home");
        m_gnustepTemp = MakeFolder("gnustep-temp");
        chmod(m_gnustepTemp.c_str(), 0700);
        m_output = TempFolder() + "/stdout.txt";
        const std::string program =
            m_root + kAppFolder + "/Corvalink_Uninstaller.app/Corvalink_Uninstaller";
        m_app = fork();
        if (m_app == 0) {
            const int out = open(m_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err =
                open((TempFolder() + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            // Ends with a test that is killed on a timeout.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            setenv("DISPLAY", (":" + std::to_string(m_display)).c_str(), 1);
            setenv("HOME", home.c_str(), 1);
            setenv("TEMP", m_gnustepTemp.c_str(), 1);
            setenv("CVL_ROOT", m_root.c_str(), 1);
            setenv("CVL_AUTH_ASKPASS", prompt.c_str(), 1);
            // GNUstep keeps process-lifetime allocations that the leak
            // checker would report at exit.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(WaitFor([&] { return Launched(); }, kLaunchTimeout));
        m_window = Window("Corvalink Uninstaller");
        ASSERT_FALSE(m_window.empty());
    }

    // GNUstep lists an application as active in GSLaunchedApplications in
    // its temporary folder at the end of its launch.
    bool Launched() {
        static const std::regex active("GSActive\\s*=\\s*\"?Corvalink_Uninstaller\"?\\s*;");
        std::string list;
        return ReadFile(m_gnustepTemp + "/GSLaunchedApplications", list) &&
               std::regex_search(list, active);
    }

    std::string Xdo(const std::string& arguments) {
        std::string output;
        RunCommand("DISPLAY=:" + std::to_string(m_display) + " xdotool " + arguments +
                       " 2>/dev/null",
                   &output);
        return output;
    }

    std::string Window(const std::string& name) {
        const std::vector<std::string> ids =
            SplitLines(Xdo("search --onlyvisible --name '^" + name + "$'"));
        return ids.empty() ? std::string() : ids.back();
    }

    // The alert on screen, or empty.
    std::string Alert() { return Window("Critical"); }
    bool AlertShown() { return !Alert().empty(); }

    // Waits for an alert other than the one that was shown before.
    std::string NextAlert(const std::string& previous = std::string()) {
        std::string alert;
        WaitFor(
            [&] {
                alert = Alert();
                return !alert.empty() && alert != previous;
            },
            kStepTimeout);
        return alert;
    }

    void Size(const std::string& window, int& width, int& height) {
        width = height = 0;
        for (const std::string& line : SplitLines(Xdo("getwindowgeometry --shell " + window))) {
            if (line.rfind("WIDTH=", 0) == 0)
                width = std::atoi(line.c_str() + 6);
            if (line.rfind("HEIGHT=", 0) == 0)
                height = std::atoi(line.c_str() + 7);
        }
    }

    // The pixels of a small area of a window around a point.
    std::string Look(const std::string& window, int x, int y) {
        std::string pixels;
        RunCommand("DISPLAY=:" + std::to_string(m_display) + " import -window " + window +
                       " -crop 24x8+" + std::to_string(x - 12) + "+" + std::to_string(y - 4) +
                       " +repage rgb:- 2>/dev/null",
                   &pixels);
        return pixels;
    }

    // Clicks once at a point of a window and waits for done. The button is
    // released only once the press shows: GNUstep sets up its mouse handling
    // on the first press and, while it asks the notification server, handles
    // a release that is already queued before the press, which leaves the
    // button waiting for a release that never comes.
    bool Click(const std::string& window, int x, int y, const std::function<bool()>& done) {
        Xdo("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y));
        std::string before = Look(window, x, y);
        EXPECT_TRUE(WaitFor(
            [&] {
                const std::string now = Look(window, x, y);
                const bool steady = !now.empty() && now == before;
                before = now;
                return steady;
            },
            kStepTimeout));
        Xdo("mousedown 1");
        const bool pressed = WaitFor([&] { return Look(window, x, y) != before; }, kStepTimeout);
        Xdo("mouseup 1");
        EXPECT_TRUE(pressed) << "the press did not show";
        return pressed && WaitFor(done, kStepTimeout);
    }

    bool ClickMain(bool uninstall, const std::function<bool()>& done) {
        return Click(m_window, uninstall ? 405 : 290, 148, done);
    }

    // Alert buttons stand at the bottom right, the first one rightmost.
    bool ClickAlert(const std::string& alert, int button, const std::function<bool()>& done) {
        if (alert.empty())
            return false;
        int width, height;
        Size(alert, width, height);
        Snap();
        return Click(alert, button == 0 ? width - 30 : width - 129, height - 21, done);
    }

    bool Gone(const std::string& alert) {
        const std::vector<std::string> ids =
            SplitLines(Xdo("search --onlyvisible --name '^Critical$'"));
        return std::find(ids.begin(), ids.end(), alert) == ids.end();
    }

    std::vector<std::string> Output() {
        std::string text;
        ReadFile(m_output, text);
        return SplitLines(text);
    }

    bool OutputHas(size_t lines) { return Output().size() >= lines; }

    bool Exited(int& status) {
        int waitStatus = 0;
        if (waitpid(m_app, &waitStatus, WNOHANG) != m_app)
            return false;
        m_app = -1;
        status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
        return true;
    }

    void ExpectInstalled(bool installed) {
        for (const char* path : kRemoved)
            EXPECT_EQ(FileExists(m_root + path), installed) << path;
    }

    // With CVL_SCREENSHOT_DIR set, saves the screen as the next numbered
    // picture of this test (tools/uninstaller-screenshots.sh).
    void Snap() {
        const char* folder = std::getenv("CVL_SCREENSHOT_DIR");
        if (!folder)
            return;
        const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 std::string("-") + std::to_string(++m_snaps) + ".png";
        RunCommand("DISPLAY=:" + std::to_string(m_display) + " import -window root '" + folder +
                   "/" + name + "'");
    }

    std::string m_root;
    std::string m_gnustepTemp;
    std::string m_window;
    std::string m_output;
    int m_display = -1;
    int m_snaps = 0;
    pid_t m_xvfb = -1;
    pid_t m_app = -1;
};

TEST_F(UninstallerApp, CancelAtConfirmationRemovesNothing) {
    StartApp(0);
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    const std::string confirmation = Alert();
    ASSERT_TRUE(ClickAlert(confirmation, 0, [&] { return OutputHas(1); }));
    EXPECT_EQ(Output(), std::vector<std::string>{"User canceled uninstallation!"});
    EXPECT_TRUE(WaitFor([&] { return Gone(confirmation); }, kStepTimeout));
    Snap();
    EXPECT_FALSE(FileExists(TempFolder() + "/prompt.log"));
    ExpectInstalled(true);
}

TEST_F(UninstallerApp, CancelledPromptKeepsTheWindowWorking) {
    StartApp(2);
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    const std::string confirmation = Alert();
    ASSERT_TRUE(ClickAlert(confirmation, 1, [&] { return OutputHas(2); }));
    EXPECT_EQ(Output(), (std::vector<std::string>{"Start uninstallation", "Status: -60006"}));
    const std::string cancelled = NextAlert(confirmation);
    ASSERT_TRUE(ClickAlert(cancelled, 0, [&] { return !AlertShown(); }));
    EXPECT_TRUE(FileExists(TempFolder() + "/prompt.log"));
    ExpectInstalled(true);

    // Both actions still work.
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    ASSERT_TRUE(ClickAlert(Alert(), 0, [&] { return OutputHas(3); }));
    EXPECT_EQ(Output().back(), "User canceled uninstallation!");
    ASSERT_TRUE(WaitFor([&] { return !AlertShown(); }, kStepTimeout));
    int status = -1;
    ASSERT_TRUE(ClickMain(false, [&] { return Exited(status); }));
    EXPECT_EQ(status, 0);
    ExpectInstalled(true);
}

TEST_F(UninstallerApp, RefusedPromptShowsTheErrorAlert) {
    StartApp(1);
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    const std::string confirmation = Alert();
    ASSERT_TRUE(ClickAlert(confirmation, 1, [&] { return OutputHas(2); }));
    EXPECT_EQ(Output(), (std::vector<std::string>{"Start uninstallation", "Status: -60005"}));
    const std::string error = NextAlert(confirmation);
    ASSERT_TRUE(ClickAlert(error, 0, [&] { return !AlertShown(); }));
    ExpectInstalled(true);
}

TEST_F(UninstallerApp, NoPrivilegedExecutionShowsTheErrorAlertWithoutAPrompt) {
    ASSERT_EQ(RunCommand("cp " + ShellQuote(BinaryDir() + "/tests/noexec/libSecurity.so") + " " +
                         ShellQuote(m_root + "/usr/lib/libSecurity.so")),
              0);
    StartApp(0);
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    const std::string confirmation = Alert();
    ASSERT_TRUE(ClickAlert(confirmation, 1, [&] { return OutputHas(2); }));
    EXPECT_EQ(Output(), (std::vector<std::string>{"Start uninstallation", "Status: -70001"}));
    const std::string error = NextAlert(confirmation);
    ASSERT_TRUE(ClickAlert(error, 0, [&] { return !AlertShown(); }));
    EXPECT_FALSE(FileExists(TempFolder() + "/prompt.log"));
    ExpectInstalled(true);
}

TEST_F(UninstallerApp, GrantedPromptRemovesTheInstallation) {
    StartApp(0);
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    const std::string confirmation = Alert();
    ASSERT_TRUE(ClickAlert(confirmation, 1, [&] { return OutputHas(2); }));
    EXPECT_EQ(Output(), (std::vector<std::string>{"Start uninstallation", "Status: 0"}));
    const std::string completion = NextAlert(confirmation);
    ASSERT_FALSE(completion.empty());
    ExpectInstalled(false);
    // The rest of the staged root stays.
    EXPECT_TRUE(FileExists(m_root + "/Library/Frameworks"));
    EXPECT_TRUE(FileExists(m_root + "/usr/bin/osascript"));
    int status = -1;
    ASSERT_TRUE(ClickAlert(completion, 0, [&] { return Exited(status); }));
    EXPECT_EQ(status, 0);
}

TEST_F(UninstallerApp, QuitEndsWithoutAlert) {
    StartApp(0);
    int status = -1;
    ASSERT_TRUE(ClickMain(false, [&] { return Exited(status); }));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(Output().empty());
    ExpectInstalled(true);
}

} // namespace
