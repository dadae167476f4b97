// Sandboxed hosts: the start-up probe that decides the sandbox mode, the
// sandbox stream that follows a sandboxed host application, and sandbox
// streams asked for by a client.
#include "CVLClient.h"
#include "CVLPaths.h"
#include "FrameTransport.h"
#include "FrameWatch.h"
#include "NamedProcess.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace cvl::test {
namespace {

bool AllSandboxFilesExist() {
    for (int slot = 0; slot < kSandboxSlotCount; ++slot)
        if (!FileExists(SandboxFramePath(slot)))
            return false;
    return true;
}

bool NoSandboxFileExists() {
    for (int slot = 0; slot < kSandboxSlotCount; ++slot)
        if (FileExists(SandboxFramePath(slot)))
            return false;
    return true;
}

ServiceOptions Probe(const std::string& csrutil, const std::string& swVers) {
    ServiceOptions options;
    options.csrutilOutput = csrutil;
    options.swVersOutput = swVers;
    return options;
}

const char kSipDisabled[] = "System Integrity Protection status: disabled.\n";
const char kSipEnabled[] = "System Integrity Protection status: enabled.\n";
const char kHighSierra[] =
    "ProductName:\tMac OS X\nProductVersion:\t10.13.6\nBuildVersion:\t17G66\n";
const char kMojave[] = "ProductName:\tMac OS X\nProductVersion:\t10.14\nBuildVersion:\t18A391\n";

TEST(SandboxProbe, DisabledProtectionEnablesSandboxModeWithoutAskingTheVersion) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start(Probe(kSipDisabled, kHighSierra)));
    const std::vector<std::string> log = LogMessages();
    // The command's output is logged verbatim, its line break included.
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "System Integrity Protection status: disabled.");
    EXPECT_EQ(log[1], "");
    EXPECT_EQ(log[2], "SIP is disabled");
    EXPECT_EQ(log[3], "sandbox mode enabled");
    EXPECT_EQ(FindLogMessage(log, "ProductVersion:\t10.13.6"), -1);
    EXPECT_EQ(CountLogMessages("running High Sierra"), 0);
}

TEST(SandboxProbe, HighSierraEnablesItAndALaterReleaseDoesNot) {
    {
        ServiceProcess service;
        ASSERT_TRUE(service.Start(Probe(kSipEnabled, kHighSierra)));
        const std::vector<std::string> log = LogMessages();
        const int version = FindLogMessage(log, "ProductVersion:\t10.13.6");
        ASSERT_GT(version, 0);
        const int release = FindLogMessage(log, "running High Sierra", version);
        EXPECT_EQ(FindLogMessage(log, "sandbox mode enabled", release), release + 1);
        service.Terminate();
        ASSERT_EQ(service.WaitForExit(), 0);
    }
    ServiceProcess service;
    ASSERT_TRUE(service.Start(Probe(kSipEnabled, kMojave)));
    EXPECT_GE(FindLogMessage(LogMessages(), "sandbox mode disabled"), 0);
    EXPECT_EQ(CountLogMessages("sandbox mode enabled"), 0);
}

TEST(SandboxProbe, EmptyOutputsAreLoggedAsEmptyMessagesAndDisableIt) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start(Probe("", "")));
    const std::vector<std::string> log = LogMessages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "");
    EXPECT_EQ(log[1], "");
    EXPECT_EQ(log[2], "sandbox mode disabled");
}

TEST(SandboxStream, APhotoBoothProcessGetsTheFrameFilesUntilItEnds) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start(Probe(kSipDisabled, "")));
    NamedProcess photoBooth("Photo Booth");
    ASSERT_GT(photoBooth.Pid(), 0);
    ASSERT_TRUE(WaitForLogMessage("frame sender sandbox started"));
    EXPECT_TRUE(WaitFor(AllSandboxFilesExist));

    // What a sandboxed host reads from the files is the live stream.
    CVLClient host;
    host.EnableSandboxMode(true);
    ASSERT_TRUE(WaitForFrame(host, FrameKind::Live));
    const WatchedFrames watched = WatchUntil(host, 11);
    EXPECT_TRUE(watched.SequencesRise());
    EXPECT_GT(watched.UniqueLive(), 10);

    // A port client that comes and goes meanwhile leaves the camera
    // streaming for the sandbox sender.
    {
        CVLClient client;
        const std::string sender = "frame sender " + std::to_string(getpid());
        client.StartStreaming();
        ASSERT_TRUE(WaitForLogMessage(sender + " started"));
        client.StopStreaming();
        ASSERT_TRUE(WaitForLogMessage(sender + " destroyed"));
    }
    const WatchedFrames after = WatchUntil(host, 11);
    EXPECT_TRUE(after.SequencesRise());
    EXPECT_GT(after.UniqueLive(), 10);
    EXPECT_EQ(CountLogMessages("CloseSessionCommand: session closed"), 0);
    EXPECT_EQ(CountLogMessages("frame sender sandbox destroyed"), 0);

    photoBooth.Stop();
    ASSERT_TRUE(WaitForLogMessage("frame sender sandbox destroyed"));
    EXPECT_TRUE(WaitFor(NoSandboxFileExists));
    EXPECT_TRUE(WaitForLogMessage("CloseSessionCommand: session closed"));
}

TEST(SandboxStream, NoSandboxStreamWithoutSandboxMode) {
    ServiceOptions options = Probe(kSipEnabled, kMojave);
    options.camera = "none";
    ServiceProcess service;
    ASSERT_TRUE(service.Start(options));
    NamedProcess photoBooth("Photo Booth");
    // A waiting client makes every periodic check show in the log.
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(WaitForLogMessage("attempting camera reconnect", 2));
    EXPECT_EQ(CountLogMessages("frame sender sandbox started"), 0);
    EXPECT_TRUE(NoSandboxFileExists());
    client.StopStreaming();
}

TEST(SandboxStream, AClientAsksForASandboxStreamInEitherMode) {
    for (const char* csrutil : {kSipEnabled, kSipDisabled}) {
        SCOPED_TRACE(csrutil);
        ServiceProcess service;
        ASSERT_TRUE(service.Start(Probe(csrutil, kMojave)));
        CVLClient host;
        host.StartStreamingSandboxMode();
        host.EnableSandboxMode(true);
        ASSERT_TRUE(WaitForFrame(host, FrameKind::Live));
        EXPECT_TRUE(WaitFor(AllSandboxFilesExist));
        EXPECT_GT(WatchUntil(host, 6).UniqueLive(), 5);

        host.StopStreamingSandboxMode();
        ASSERT_TRUE(WaitForLogMessage("CloseSessionCommand: session closed"));
        EXPECT_TRUE(WaitFor(NoSandboxFileExists));
        service.Terminate();
        ASSERT_EQ(service.WaitForExit(), 0);
    }
}

} // namespace
} // namespace cvl::test
