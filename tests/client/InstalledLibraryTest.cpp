// The installed library as a program outside this tree sees it: the example
// host is configured with find_package against a staged installation, and
// built a second time with the flags pkg-config gives; both run.
#include "ClientTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace cvl::test;

class InstalledLibrary : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_stage = MakeFolder("stage");
        s_staged = StageInstallation(s_stage);
    }
    static std::string s_stage;
    static bool s_staged;
};
std::string InstalledLibrary::s_stage;
bool InstalledLibrary::s_staged = false;

TEST_F(InstalledLibrary, HasItsHeadersPackageFilesAndNoHelperSymbols) {
    ASSERT_TRUE(s_staged);
    for (const char* file :
         {"usr/include/Corvalink/CVLClient.h", "usr/include/Corvalink/FrameReceiver.h",
          "usr/include/Corvalink/EvfFrame.h", "usr/include/CoreFoundation/CoreFoundation.h",
          "usr/lib/libcvlclient.so", "usr/lib/libCoreFoundation.so",
          "usr/lib/cmake/Corvalink/CorvalinkConfig.cmake",
          "usr/lib/cmake/Corvalink/CorvalinkConfigVersion.cmake", "usr/lib/pkgconfig/corvalink.pc"})
        EXPECT_TRUE(FileExists(s_stage + "/" + file)) << file;
    // The transport and path helpers linked into the library stay private.
    std::string symbols;
    ASSERT_EQ(
        RunCommand("nm -DC --defined-only " + ShellQuote(s_stage + "/usr/lib/libcvlclient.so"),
                   &symbols),
        0);
    EXPECT_NE(symbols.find("CVLClient::GetFrame()"), std::string::npos);
    EXPECT_EQ(symbols.find("ReadSandboxFrame"), std::string::npos);
    EXPECT_EQ(symbols.find("CVLResolvePath"), std::string::npos);
}

TEST_F(InstalledLibrary, AnOutsideCMakeProjectFindsLinksAndRunsIt) {
    ASSERT_TRUE(s_staged);
    const std::string build = MakeFolder("example-build");
    const std::string configure =
        "cmake -S " + ShellQuote(SourceDir() + "/docs/example-host") + " -B " + ShellQuote(build) +
        " -G Ninja -DCMAKE_PREFIX_PATH=" + ShellQuote(s_stage + "/usr") +
        " -DCMAKE_CXX_COMPILER=" + ShellQuote(CVL_TEST_CXX_COMPILER) +
        " -DCMAKE_CXX_FLAGS=" + ShellQuote(CVL_TEST_HOST_FLAGS) +
        " -DCMAKE_EXE_LINKER_FLAGS=" + ShellQuote(CVL_TEST_HOST_FLAGS) + " 2>&1";
    std::string output;
    ASSERT_EQ(RunCommand(configure, &output), 0) << output;
    ASSERT_EQ(RunCommand("cmake --build " + ShellQuote(build) + " 2>&1", &output), 0) << output;

    // No service runs: the frames are the stock error frame of the test's
    // installation.
    output.clear();
    ASSERT_EQ(RunCommand(ShellQuote(build + "/example-host") + " 2", &output), 0) << output;
    const std::string size = std::to_string(ErrorFrame().size());
    EXPECT_EQ(output,
              "frame 1: " + size + " bytes\nframe 2: " + size + " bytes\nsandbox mode: off\n");
}

TEST_F(InstalledLibrary, PkgConfigGivesWhatItTakesToBuildAHost) {
    ASSERT_TRUE(s_staged);
    std::string flags;
    ASSERT_EQ(RunCommand("PKG_CONFIG_PATH=" + ShellQuote(s_stage + "/usr/lib/pkgconfig") +
                             " pkg-config --define-prefix --cflags --libs corvalink",
                         &flags),
              0);
    while (!flags.empty() && (flags.back() == '\n' || flags.back() == ' '))
        flags.pop_back();
    EXPECT_NE(flags.find(s_stage + "/usr/include"), std::string::npos) << flags;

    const std::string program = MakeFolder("pc-build") + "/example-host";
    std::string output;
    ASSERT_EQ(RunCommand(std::string(CVL_TEST_CXX_COMPILER) + " -std=c++17 " + CVL_TEST_HOST_FLAGS +
                             " " + ShellQuote(SourceDir() + "/docs/example-host/main.cpp") +
                             " -o " + ShellQuote(program) + " " + flags + " -Wl,-rpath," + s_stage +
                             "/usr/lib 2>&1",
                         &output),
              0)
        << output;
    // Without a service a sandboxed host reads the (missing) sandbox files.
    output.clear();
    ASSERT_EQ(RunCommand(ShellQuote(program) + " --sandbox 1", &output), 0) << output;
    EXPECT_EQ(output, "frame 1: " + std::to_string(DisconnectedFrame().size()) +
                          " bytes\nsandbox mode: on\n");
}

} // namespace
