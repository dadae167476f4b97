#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <vector>
#include <regex>
#include <string>
#include <utility>
#include <sys/stat.h>

namespace {

using namespace cvl::test;

struct Probe {
    std::map<std::string, std::string> values;
    std::string log;
};

// Runs a probe scenario with the prompt answering promptStatus. The leak
// checker stays off: gcc's Objective-C runtime and GNUstep keep
// process-lifetime allocations that it would report at exit.
Probe RunProbe(const std::string& program, const std::string& arguments, int promptStatus = 0) {
    const std::string prompt = TempFolder() + "/prompt.sh";
    WriteFile(prompt, "#!/bin/sh\necho asked >> '" + TempFolder() + "/prompt.log'\nexit " +
                          std::to_string(promptStatus) + "\n");
    chmod(prompt.c_str(), 0755);
    const std::string log = TempFolder() + "/probe.log";
    std::string output;
    RunCommand("cd '" + TempFolder() + "' && ASAN_OPTIONS=detect_leaks=0 CVL_AUTH_ASKPASS='" +
                   prompt + "' " + BinaryDir() + "/tests/" + program + " " + arguments + " 2>'" +
                   log + "'",
               &output);
    Probe probe;
    for (const std::string& line : SplitLines(output)) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos)
            probe.values[line.substr(0, colon)] = line.substr(colon + 2);
    }
    ReadFile(log, probe.log);
    return probe;
}

bool Asked() {
    return FileExists(TempFolder() + "/prompt.log");
}

TEST(PrivilegedTask, TaskWithoutArgumentsPassesOnlyTheNullEntry) {
    const std::string script = TempFolder() + "/count.sh";
    WriteFile(script, "#!/bin/sh\necho \"$# $PWD\"\n");
    chmod(script.c_str(), 0755);
    const Probe probe = RunProbe("stp_probe", "wait " + script);
    EXPECT_TRUE(std::regex_match(probe.values.at("description"),
                                 std::regex("<STPrivilegedTask: 0x[0-9a-f]+> " + script +
                                            " \\(CWD:" + TempFolder() + "\\)")))
        << probe.values.at("description");
    EXPECT_EQ(probe.values.at("status"), "0");
    EXPECT_EQ(probe.values.at("output"), "0 " + TempFolder());
}

TEST(PrivilegedTask, DescriptionQuotesEachArgument) {
    const Probe probe = RunProbe("stp_probe", "statement /bin/echo a 'b c'");
    EXPECT_TRUE(std::regex_match(probe.values.at("description"),
                                 std::regex("<STPrivilegedTask: 0x[0-9a-f]+> /bin/echo 'a' 'b c' "
                                            "\\(CWD:.*\\)")))
        << probe.values.at("description");
}

TEST(PrivilegedTask, MissingExecuteFunctionFailsWithoutPrompt) {
    const Probe probe = RunProbe("stp_probe_noexec", "launch /bin/true");
    EXPECT_EQ(probe.values.at("available"), "no");
    EXPECT_EQ(probe.values.at("status"), "-70001");
    EXPECT_EQ(probe.values.at("running"), "no");
    EXPECT_NE(probe.log.find("AuthorizationExecuteWithPrivileges() function not available on "
                             "this system"),
              std::string::npos);
    EXPECT_EQ(probe.log.find("called Authorization"), std::string::npos);
}

TEST(PrivilegedTask, SuccessWithoutAnOutputStreamIsAFailedLaunch) {
    const Probe probe = RunProbe("stp_probe_nostream", "launch /bin/true");
    EXPECT_EQ(probe.values.at("available"), "yes");
    EXPECT_EQ(probe.values.at("status"), "-60031");
    EXPECT_EQ(probe.values.at("running"), "no");
    EXPECT_NE(probe.log.find("called AuthorizationExecuteWithPrivileges"), std::string::npos);
    EXPECT_NE(probe.log.find("AuthorizationExecuteWithPrivileges() gave no output stream"),
              std::string::npos);
    EXPECT_NE(probe.log.find("called AuthorizationFree"), std::string::npos);
}

TEST(PrivilegedTask, CancelledPromptLeavesTheTaskIdle) {
    const std::string marker = TempFolder() + "/ran";
    const Probe probe = RunProbe("stp_probe", "launch /usr/bin/touch " + marker, 2);
    EXPECT_EQ(probe.values.at("available"), "yes");
    EXPECT_EQ(probe.values.at("status"), "-60006");
    EXPECT_EQ(probe.values.at("running"), "no");
    EXPECT_TRUE(Asked());
    EXPECT_TRUE(std::regex_search(
        probe.log, std::regex("Task <STPrivilegedTask: 0x[0-9a-f]+> is not running")))
        << probe.log;
    EXPECT_FALSE(FileExists(marker));
}

TEST(PrivilegedTask, WaitUntilExitRecordsTheStatusWithoutAnnouncing) {
    const Probe probe = RunProbe("stp_probe", "wait /bin/sh -c 'echo out; exit 3'");
    EXPECT_EQ(probe.values.at("status"), "0");
    EXPECT_EQ(probe.values.at("running"), "yes");
    EXPECT_EQ(probe.values.at("after terminate"), "yes 1");
    EXPECT_EQ(probe.values.at("output"), "out");
    EXPECT_EQ(probe.values.at("ended"), "idle 3");
    EXPECT_EQ(probe.values.at("events"), "");
}

TEST(PrivilegedTask, TimerAnnouncesTheEndBeforeTheHandler) {
    const Probe probe = RunProbe("stp_probe", "timer /bin/sh -c 'exit 5'");
    EXPECT_EQ(probe.values.at("status"), "0");
    EXPECT_EQ(probe.values.at("ended"), "idle 5");
    EXPECT_EQ(probe.values.at("events"), "notification handler ");
}

// The alerts' keys and their notes for translators, in order, and a text
// behind each of them as the application looks it up.
TEST(UninstallerStrings, EveryAlertKeyHasItsNoteAndAText) {
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"confirm.title", "Confirmation dialog title"},
        {"confirm.text", "Confirmation dialog text"},
        {"confirm.cancel", "Confirmation dialog - Cancel"},
        {"confirm.ok", "Confirmation dialog - OK"},
        {"complete.title", "Completion dialog title"},
        {"complete.text", "Completion dialog text"},
        {"complete.ok", "Completion dialog - OK"},
        {"cancelled.title", "Completion dialog title"},
        {"cancelled.text", "Completion dialog text"},
        {"cancelled.ok", "Completion dialog - OK"},
        {"error.title", "Error dialog title"},
        {"error.text", "Error dialog text"},
        {"error.ok", "Error dialog - OK"}};
    std::string strings;
    ASSERT_TRUE(ReadFile(BinaryDir() + "/bin/Corvalink_Uninstaller.app/Resources/English.lproj/"
                                       "Localizable.strings",
                         strings));
    static const std::regex entry("/\\* ([^*]*) \\*/\\s*\"([^\"]+)\" = \"[^\"]+\";");
    std::vector<std::pair<std::string, std::string>> found;
    for (std::sregex_iterator it(strings.begin(), strings.end(), entry), end; it != end; ++it)
        found.emplace_back((*it)[2], (*it)[1]);
    EXPECT_EQ(found, keys);

    std::string arguments = "strings " + ShellQuote(BinaryDir() + "/bin/Corvalink_Uninstaller.app");
    for (const auto& key : keys)
        arguments += " " + key.first;
    const Probe probe = RunProbe("stp_probe", arguments);
    for (const auto& key : keys) {
        ASSERT_EQ(probe.values.count(key.first), 1u) << key.first;
        EXPECT_FALSE(probe.values.at(key.first).empty()) << key.first;
    }
    EXPECT_EQ(probe.values.at("confirm.cancel"), "Cancel");
}

TEST(PrivilegedTask, RemovalStatementIsExact) {
    const Probe probe = RunProbe("stp_probe", "statement");
    const std::string root = InstallRoot();
    EXPECT_EQ(probe.values.at("statement"),
              "do shell script \"rm -rf " + root +
                  "/Library/Frameworks/ZelSDK.framework ; rm -rf " + root +
                  "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin ; rm -rf " + root +
                  "/Library/LaunchAgents/com.corvalink.cvlservice.plist; rm -rf '" + root +
                  "/Applications/Corvalink'\" with administrator privileges");
}

TEST(PrivilegedTask, RemovalStatementForTheRealRootIsTheInstalledOne) {
    setenv("CVL_ROOT", "/", 1);
    const Probe probe = RunProbe("stp_probe", "statement");
    EXPECT_EQ(probe.values.at("statement"),
              "do shell script \"rm -rf /Library/Frameworks/ZelSDK.framework ; rm -rf "
              "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin ; rm -rf "
              "/Library/LaunchAgents/com.corvalink.cvlservice.plist; rm -rf "
              "'/Applications/Corvalink'\" with administrator privileges");
}

// A root whose name holds a blank and a single quote: the shell command must
// take each installed path as one word, so exactly those four go and the
// folder whose name the root starts with stays.
TEST(PrivilegedTask, RemovalStatementRemovesOnlyTheInstalledPathsOfAnOddRoot) {
    const std::string root = TempFolder() + "/odd root's";
    const std::string canary = TempFolder() + "/odd";
    const std::vector<std::string> installed = {
        root + "/Library/Frameworks/ZelSDK.framework",
        root + "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin",
        root + "/Library/LaunchAgents/com.corvalink.cvlservice.plist",
        root + "/Applications/Corvalink"};
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(canary) + " " + ShellQuote(installed[0]) + " " +
                         ShellQuote(installed[1] + "/Contents") + " " + ShellQuote(installed[3]) +
                         " " + ShellQuote(root + "/Library/LaunchAgents") + " && touch " +
                         ShellQuote(installed[2]) + " " +
                         ShellQuote(root + "/Library/LaunchAgents/other.plist")),
              0);
    setenv("CVL_ROOT", root.c_str(), 1);
    const Probe probe = RunProbe("stp_probe", "statement");
    const std::string statement = probe.values.at("statement");
    EXPECT_EQ(RunCommand(Program("osascript") + " -e " + ShellQuote(statement)), 0) << statement;
    for (const std::string& path : installed)
        EXPECT_FALSE(FileExists(path)) << path;
    EXPECT_TRUE(FileExists(canary));
    EXPECT_TRUE(FileExists(root + "/Library/LaunchAgents/other.plist"));
    EXPECT_TRUE(FileExists(root + "/Library/Frameworks"));
}

} // namespace
