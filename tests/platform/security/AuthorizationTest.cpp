#include <Security/Authorization.h>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace cvl::test;

// A prompt program that records each call and answers with exitStatus.
std::string MakePrompt(int exitStatus) {
    const std::string path = TempFolder() + "/prompt.sh";
    const std::string log = TempFolder() + "/prompt.log";
    WriteFile(path, "#!/bin/sh\necho \"$1\" >> '" + log + "'\necho secret\nexit " +
                        std::to_string(exitStatus) + "\n");
    chmod(path.c_str(), 0755);
    setenv("CVL_AUTH_ASKPASS", path.c_str(), 1);
    return log;
}

int PromptCount() {
    std::string log;
    if (!ReadFile(TempFolder() + "/prompt.log", log))
        return 0;
    return static_cast<int>(SplitLines(log).size());
}

class Authorization : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &m_ref), 0); }
    void TearDown() override {
        if (m_ref) {
            EXPECT_EQ(AuthorizationFree(m_ref, kAuthorizationFlagDefaults), 0);
        }
    }

    OSStatus AskAdmin(AuthorizationFlags flags = 19) {
        const char* path = "/usr/bin/osascript";
        AuthorizationItem item = {kAuthorizationRightExecute, std::strlen(path),
                                  const_cast<char*>(path), 0};
        AuthorizationRights rights = {1, &item};
        return AuthorizationCopyRights(m_ref, &rights, kAuthorizationEmptyEnvironment, flags,
                                       nullptr);
    }

    AuthorizationRef m_ref = nullptr;
};

TEST_F(Authorization, PromptAnswersMapToStatuses) {
    MakePrompt(2);
    EXPECT_EQ(AskAdmin(), errAuthorizationCanceled);
    MakePrompt(1);
    EXPECT_EQ(AskAdmin(), errAuthorizationDenied);
    MakePrompt(7);
    EXPECT_EQ(AskAdmin(), errAuthorizationDenied);
    EXPECT_EQ(PromptCount(), 3);

    setenv("CVL_AUTH_ASKPASS", (TempFolder() + "/no-such-prompt").c_str(), 1);
    EXPECT_EQ(AskAdmin(), errAuthorizationInternal);

    MakePrompt(0);
    EXPECT_EQ(AskAdmin(), errAuthorizationSuccess);
    // The right is held now: no second prompt.
    EXPECT_EQ(AskAdmin(), errAuthorizationSuccess);
    EXPECT_EQ(PromptCount(), 4);

    std::string log;
    ASSERT_TRUE(ReadFile(TempFolder() + "/prompt.log", log));
    EXPECT_NE(log.find("system.privilege.admin"), std::string::npos);
}

TEST_F(Authorization, FlagsDecideWhetherToAsk) {
    MakePrompt(0);
    EXPECT_EQ(AskAdmin(kAuthorizationFlagExtendRights), errAuthorizationInteractionNotAllowed);
    EXPECT_EQ(AskAdmin(kAuthorizationFlagInteractionAllowed), errAuthorizationDenied);
    EXPECT_EQ(AskAdmin(1u << 9), errAuthorizationInvalidFlags);
    EXPECT_EQ(PromptCount(), 0);
    EXPECT_EQ(AskAdmin(kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights), 0);
    EXPECT_EQ(PromptCount(), 1);
}

TEST_F(Authorization, RootIsGrantedWithoutPrompt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    unsetenv("CVL_AUTH_ASKPASS");
    EXPECT_EQ(AskAdmin(), errAuthorizationSuccess);
}

TEST_F(Authorization, BadArgumentsAreRefused) {
    EXPECT_EQ(AuthorizationCopyRights(nullptr, nullptr, nullptr, 0, nullptr),
              errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationCopyRights(m_ref, nullptr, nullptr, 0, nullptr),
              errAuthorizationInvalidSet);
    AuthorizationItem unnamed = {nullptr, 0, nullptr, 0};
    AuthorizationRights rights = {1, &unnamed};
    EXPECT_EQ(AuthorizationCopyRights(m_ref, &rights, nullptr, 19, nullptr),
              errAuthorizationInvalidTag);
    EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, 0, nullptr), errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, 1u << 8, &m_ref), errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(m_ref, nullptr, 0, nullptr, nullptr),
              errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(m_ref, "/bin/true", 1, nullptr, nullptr),
              errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationFree(nullptr, 0), errAuthorizationInvalidRef);
}

TEST_F(Authorization, GrantedRightsAreCopied) {
    MakePrompt(0);
    char value[] = "/bin/true";
    AuthorizationItem item = {kAuthorizationRightExecute, sizeof value - 1, value, 0};
    AuthorizationRights rights = {1, &item};
    AuthorizationRights* granted = nullptr;
    ASSERT_EQ(AuthorizationCopyRights(m_ref, &rights, nullptr, 19, &granted), 0);
    ASSERT_NE(granted, nullptr);
    ASSERT_EQ(granted->count, 1u);
    EXPECT_STREQ(granted->items[0].name, kAuthorizationRightExecute);
    EXPECT_EQ(
        std::string(static_cast<char*>(granted->items[0].value), granted->items[0].valueLength),
        "/bin/true");
    EXPECT_EQ(AuthorizationFreeItemSet(granted), 0);
}

TEST_F(Authorization, CreateWithRightsAsksAtOnce) {
    MakePrompt(2);
    AuthorizationItem item = {kAuthorizationRightExecute, 0, nullptr, 0};
    AuthorizationRights rights = {1, &item};
    AuthorizationRef other = nullptr;
    EXPECT_EQ(AuthorizationCreate(&rights, nullptr, 19, &other), errAuthorizationCanceled);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(PromptCount(), 1);
}

TEST_F(Authorization, ExecuteHandsBackTheToolsOutputAndIdentifier) {
    MakePrompt(0);
    ASSERT_EQ(AskAdmin(), 0);
    // The function is found among the loaded images, as callers look it up.
    EXPECT_NE(dlsym(RTLD_DEFAULT, "AuthorizationExecuteWithPrivileges"), nullptr);

    char script[] = "read line; echo \"got $line $0 $1\"; pwd; exit 3";
    char zero[] = "zero";
    char one[] = "one two";
    char* const arguments[] = {const_cast<char*>("-c"), script, zero, one, nullptr};
    const std::string folder = MakeFolder("cwd");
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    FILE* stream = nullptr;
    const OSStatus status =
        AuthorizationExecuteWithPrivileges(m_ref, "/bin/sh", 0, arguments, &stream);
    ASSERT_EQ(chdir(saved), 0);
    ASSERT_EQ(status, 0);
    ASSERT_NE(stream, nullptr);

    const pid_t pid = fcntl(fileno(stream), F_GETOWN);
    EXPECT_GT(pid, 0);
    fputs("hello\n", stream);
    fflush(stream);
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, stream))
        output += buffer;
    fclose(stream);
    EXPECT_EQ(output, "got hello zero one two\n" + folder + "\n");

    int waitStatus = 0;
    ASSERT_EQ(waitpid(pid, &waitStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(waitStatus));
    EXPECT_EQ(WEXITSTATUS(waitStatus), 3);
}

TEST_F(Authorization, ExecuteAsksFirstAndReportsMissingTools) {
    MakePrompt(2);
    const std::string marker = TempFolder() + "/ran";
    const std::string command = "touch '" + marker + "'";
    char* const arguments[] = {const_cast<char*>("-c"), const_cast<char*>(command.c_str()),
                               nullptr};
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(m_ref, "/bin/sh", 0, arguments, nullptr),
              errAuthorizationCanceled);
    EXPECT_EQ(PromptCount(), 1);
    EXPECT_FALSE(FileExists(marker));

    MakePrompt(0);
    FILE* stream = nullptr;
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(m_ref, "/no/such/tool", 0, arguments, &stream),
              errAuthorizationToolExecuteFailure);
    EXPECT_EQ(stream, nullptr);

    // Without a stream the tool keeps the caller's standard output.
    ASSERT_EQ(AuthorizationExecuteWithPrivileges(m_ref, "/bin/sh", 0, arguments, nullptr), 0);
    EXPECT_TRUE(WaitFor([&] { return FileExists(marker); }));
    int waitStatus;
    while (wait(&waitStatus) > 0) {
    }
}

} // namespace
