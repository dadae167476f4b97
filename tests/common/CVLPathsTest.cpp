#include "CVLPaths.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(CVLPaths, FixedPathsResolveUnderTheInstallationRoot) {
    // The test main sets CVL_ROOT to the staged root before anything runs.
    EXPECT_EQ(std::string(CVLInstallRoot()), cvl::test::InstallRoot());
    EXPECT_EQ(std::string(CVLResolvePath(CVL_PATH_LOG)),
              cvl::test::InstallRoot() +
                  "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/Resources/log.txt");
    EXPECT_EQ(std::string(CVLResolvePath(CVL_PATH_OSASCRIPT)),
              cvl::test::InstallRoot() + "/usr/bin/osascript");
}

TEST(CVLPaths, ResolvedTextsStayValidAndAreShared) {
    const char* first = CVLResolvePath(CVL_PATH_APPLICATION);
    for (int i = 0; i < 100; ++i)
        CVLResolvePath((std::string("/folder/") + std::to_string(i)).c_str());
    EXPECT_EQ(first, CVLResolvePath(CVL_PATH_APPLICATION));
    EXPECT_EQ(std::string(first), cvl::test::InstallRoot() + "/Applications/Corvalink");
}

TEST(CVLPaths, RelativeAndNullPathsAreLeftAlone) {
    EXPECT_EQ(CVLResolvePath(nullptr), nullptr);
    const char* relative = "sbFrames/frame0.jpg";
    EXPECT_EQ(CVLResolvePath(relative), relative);
}

TEST(CVLPaths, NamesDeriveFromTheServiceIdentifier) {
    const std::string identifier = CVL_SERVICE_IDENTIFIER;
    EXPECT_EQ(std::string(CVL_REQUEST_PORT_NAME), identifier + ".Request");
    EXPECT_EQ(std::string(CVL_FRAME_PORT_PREFIX), identifier + ".Frame.");
    EXPECT_EQ(std::string(CVL_PATH_LAUNCH_AGENT), "/Library/LaunchAgents/" + identifier + ".plist");
}

// The root is read from the environment with any trailing slashes removed;
// a root of "/" means the paths are exactly the fixed ones.
TEST(CVLPaths, RootOfSlashGivesTheFixedPaths) {
    std::string output;
    const std::string program = cvl::test::BinaryDir() + "/tests/cvl_paths_probe";
    ASSERT_EQ(cvl::test::RunCommand("CVL_ROOT=/ " + program + " " CVL_PATH_LOG, &output), 0);
    EXPECT_EQ(output, CVL_PATH_LOG "\n");
    output.clear();
    ASSERT_EQ(
        cvl::test::RunCommand("CVL_ROOT=/srv/stage// " + program + " /usr/bin/osascript", &output),
        0);
    EXPECT_EQ(output, "/srv/stage/usr/bin/osascript\n");
    output.clear();
    ASSERT_EQ(cvl::test::RunCommand("env -u CVL_ROOT " + program + " /x", &output), 0);
    EXPECT_EQ(output, "/x\n");
}

} // namespace
