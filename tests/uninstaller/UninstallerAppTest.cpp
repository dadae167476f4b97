// The whole application in a staged installation, on its own X server,
// driven with xdotool. The prompt program named by CVL_AUTH_ASKPASS grants,
// cancels or refuses the administrator right.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
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

class UninstallerApp : public testing::Test {
protected:
    void SetUp() override {
        // GNUstep applications started at the same moment by parallel tests
        // can stall each other at launch (its shared per-user daemons): the
        // application tests take turns.
        m_lock = open("/tmp/cvl-uninstaller-gui.lock", O_CREAT | O_RDWR, 0666);
        if (m_lock >= 0)
            flock(m_lock, LOCK_EX);
        m_root = MakeFolder("stage");
        ASSERT_TRUE(StageInstallation(m_root));
        for (const char* path : kRemoved)
            ASSERT_TRUE(FileExists(m_root + path)) << path;
        StartXvfb();
        ASSERT_GE(m_display, 0);
    }

    void TearDown() override {
        if (m_app > 0) {
            kill(m_app, SIGKILL);
            waitpid(m_app, nullptr, 0);
        }
        if (m_xvfb > 0) {
            kill(m_xvfb, SIGTERM);
            waitpid(m_xvfb, nullptr, 0);
        }
        if (m_lock >= 0)
            close(m_lock);
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
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                   "-nolisten", "tcp", static_cast<char*>(nullptr));
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
            setenv("DISPLAY", (":" + std::to_string(m_display)).c_str(), 1);
            setenv("HOME", home.c_str(), 1);
            setenv("CVL_ROOT", m_root.c_str(), 1);
            setenv("CVL_AUTH_ASKPASS", prompt.c_str(), 1);
            // GNUstep keeps process-lifetime allocations that the leak
            // checker would report at exit.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(WaitFor([&] { return !Window("Corvalink Uninstaller").empty(); },
                            std::chrono::seconds(30)));
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

    bool AlertShown() { return !Window("Critical").empty(); }

    void Size(const std::string& window, int& width, int& height) {
        width = height = 0;
        for (const std::string& line : SplitLines(Xdo("getwindowgeometry --shell " + window))) {
            if (line.rfind("WIDTH=", 0) == 0)
                width = std::atoi(line.c_str() + 6);
            if (line.rfind("HEIGHT=", 0) == 0)
                height = std::atoi(line.c_str() + 7);
        }
    }

    // Clicks at a point of a window until condition holds: a window that has
    // just been mapped may not take the first click yet.
    bool ClickUntil(const std::string& window, int x, int y, const std::function<bool()>& done) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            Xdo("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
                " click 1");
            if (WaitFor(done, std::chrono::milliseconds(1000)))
                return true;
        }
        return false;
    }

    bool ClickMain(bool uninstall, const std::function<bool()>& done) {
        return ClickUntil(Window("Corvalink Uninstaller"), uninstall ? 405 : 290, 148, done);
    }

    // Alert buttons stand at the bottom right, the first one rightmost.
    bool ClickAlert(int button, const std::function<bool()>& done) {
        const std::string alert = Window("Critical");
        int width, height;
        Size(alert, width, height);
        Snap();
        return ClickUntil(alert, button == 0 ? width - 30 : width - 129, height - 21, done);
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

    void ExpectExitStatus0() {
        int status = -1;
        ASSERT_TRUE(WaitFor([&] { return Exited(status); }, std::chrono::seconds(20)));
        EXPECT_EQ(status, 0);
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
    std::string m_output;
    int m_display = -1;
    int m_snaps = 0;
    pid_t m_xvfb = -1;
    pid_t m_app = -1;
    int m_lock = -1;
};

TEST_F(UninstallerApp, CancelAtConfirmationRemovesNothing) {
    StartApp(0);
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    ASSERT_TRUE(ClickAlert(0, [&] { return OutputHas(1); }));
    EXPECT_EQ(Output(), std::vector<std::string>{"User canceled uninstallation!"});
    EXPECT_TRUE(WaitFor([&] { return !AlertShown(); }));
    Snap();
    EXPECT_FALSE(FileExists(TempFolder() + "/prompt.log"));
    ExpectInstalled(true);
}

TEST_F(UninstallerApp, CancelledPromptKeepsTheWindowWorking) {
    StartApp(2);
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    ASSERT_TRUE(ClickAlert(1, [&] { return OutputHas(2); }));
    ASSERT_TRUE(WaitFor([&] { return AlertShown(); }));
    EXPECT_EQ(Output(), (std::vector<std::string>{"Start uninstallation", "Status: -60006"}));
    ASSERT_TRUE(ClickAlert(0, [&] { return !AlertShown(); }));
    ExpectInstalled(true);

    // Both actions still work.
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    ASSERT_TRUE(ClickAlert(0, [&] { return OutputHas(3); }));
    EXPECT_EQ(Output().back(), "User canceled uninstallation!");
    int status = -1;
    ASSERT_TRUE(WaitFor([&] { return !AlertShown(); }));
    ASSERT_TRUE(ClickMain(false, [&] { return Exited(status); }));
    EXPECT_EQ(status, 0);
    ExpectInstalled(true);
}

TEST_F(UninstallerApp, RefusedPromptShowsTheErrorAlert) {
    StartApp(1);
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    ASSERT_TRUE(ClickAlert(1, [&] { return OutputHas(2); }));
    EXPECT_EQ(Output(), (std::vector<std::string>{"Start uninstallation", "Status: -60005"}));
    ASSERT_TRUE(WaitFor([&] { return AlertShown(); }));
    ASSERT_TRUE(ClickAlert(0, [&] { return !AlertShown(); }));
    ExpectInstalled(true);
}

TEST_F(UninstallerApp, GrantedPromptRemovesTheInstallation) {
    StartApp(0);
    ASSERT_TRUE(ClickMain(true, [&] { return AlertShown(); }));
    ASSERT_TRUE(ClickAlert(1, [&] { return OutputHas(2); }));
    EXPECT_EQ(Output(), (std::vector<std::string>{"Start uninstallation", "Status: 0"}));
    ASSERT_TRUE(WaitFor([&] { return AlertShown(); }));
    ExpectInstalled(false);
    // The rest of the staged root stays.
    EXPECT_TRUE(FileExists(m_root + "/Library/Frameworks"));
    EXPECT_TRUE(FileExists(m_root + "/usr/bin/osascript"));
    int status = -1;
    ASSERT_TRUE(ClickAlert(0, [&] { return Exited(status); }));
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
