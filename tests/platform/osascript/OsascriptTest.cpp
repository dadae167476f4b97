#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace cvl::test;

struct Result {
    int status;
    std::string output;
};

// Runs osascript with the given arguments (already shell-quoted), standard
// error folded into the output.
Result RunOsascript(const std::string& arguments) {
    Result result;
    result.status = RunCommand(Program("osascript") + " " + arguments + " 2>&1", &result.output);
    return result;
}

Result RunStatement(const std::string& statement) {
    return RunOsascript("-e " + ShellQuote(statement));
}

std::string Statement(const std::string& commandText) {
    return "do shell script \"" + commandText + "\" with administrator privileges";
}

TEST(Osascript, RunsTheShellCommandAndKeepsItsStatus) {
    Result result = RunStatement(Statement("echo one ; echo two; exit 4"));
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.output, "one\ntwo\n");

    result = RunStatement("  do  shell\tscript \"true\"   with administrator  privileges \n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
}

TEST(Osascript, DecodesTheEscapesOfTheCommandText) {
    // The shell sees: printf '%s|' "a b" 'c\d' "e'f"
    const Result result =
        RunStatement(Statement("printf '%s|' \\\"a b\\\" 'c\\\\d' \\\"e'f\\\"; printf 'x\\ty'"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "a b|c\\d|e'f|x\ty");
}

TEST(Osascript, MalformedStatementsRunNothing) {
    const std::string marker = TempFolder() + "/ran";
    const std::string touch = "touch " + marker;
    const std::vector<std::string> statements = {
        "do shell script \"" + touch + "\"",
        "do shell script \"" + touch + "\" with administrator privileges and more",
        "do shell script \"" + touch + " with administrator privileges",
        "do shell script \"" + touch + "\\\" with administrator privileges",
        "do shell script \"" + touch + "\\q\" with administrator privileges",
        "do shell script \"" + touch + "\"with administrator privileges",
        "do shell script " + touch + " with administrator privileges",
        "display dialog \"" + touch + "\"",
        "do shell script \"" + touch + "\" \"x\" with administrator privileges",
        "",
    };
    for (const std::string& statement : statements) {
        const Result result = RunStatement(statement);
        EXPECT_EQ(result.status, 1) << statement;
        EXPECT_NE(result.output.find("osascript"), std::string::npos) << statement;
    }
    EXPECT_EQ(RunOsascript("").status, 1);
    EXPECT_EQ(RunOsascript(ShellQuote(Statement(touch))).status, 1);
    EXPECT_EQ(RunOsascript("-e " + ShellQuote(Statement(touch)) + " extra").status, 1);
    EXPECT_EQ(RunOsascript("-x " + ShellQuote(Statement(touch))).status, 1);
    EXPECT_FALSE(FileExists(marker));

    EXPECT_EQ(RunStatement(Statement(touch)).status, 0);
    EXPECT_TRUE(FileExists(marker));
}

} // namespace
