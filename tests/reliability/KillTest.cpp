// Processes killed with SIGKILL: streaming clients, one after another, and
// the service itself while a client streams. Nothing may be left behind
// that stops the next client or the next service.
#include "CVLClient.h"
#include "CVLPaths.h"
#include "FrameWatch.h"
#include "ServiceHarness.h"
#include "TestSupport.h"
#include "ViewProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace cvl::test {
namespace {

std::string SenderLine(pid_t pid, const char* what) {
    return "frame sender " + std::to_string(pid) + " " + what;
}

// A killed service leaves its log behind; the next one's lines must not be
// taken for the old ones'.
void KillService(ServiceProcess& service) {
    kill(service.Pid(), SIGKILL);
    service.WaitForExit();
    std::remove((InstallRoot() + CVL_PATH_LOG).c_str());
}

const std::vector<std::string> kLongView = {"--seconds", "600", "--rate", "50"};

TEST(KilledClients, FiftyInARowLeaveTheServiceAsItWasAfterTheFirst) {
    // AddressSanitizer keeps up to 256 MB of freed memory in quarantine,
    // which a stream of frames fills within a minute; a small quarantine
    // lets the service's resident memory show what it really holds.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") +
                                "quarantine_size_mb=4:thread_local_quarantine_size_kb=64";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    auto streaming = std::make_unique<ViewProcess>(kLongView);
    ASSERT_TRUE(WaitFor([&] { return streaming->UniqueFrames() > 0; }, seconds(30)));

    ProcessFigures afterFirst;
    for (int cycle = 1; cycle <= 50; ++cycle) {
        // The next client asks first and waits its turn; then the one that
        // streams is killed and the next must get the frames.
        auto next = std::make_unique<ViewProcess>(kLongView);
        ASSERT_TRUE(WaitForLogMessage(SenderLine(next->Pid(), "started"))) << "cycle " << cycle;
        const pid_t killed = streaming->Pid();
        streaming->Kill();
        ASSERT_TRUE(WaitForLogMessage(SenderLine(killed, "destroyed"))) << "cycle " << cycle;
        ASSERT_TRUE(WaitFor([&] { return next->UniqueFrames() > 0; }, seconds(30)))
            << "cycle " << cycle << ": the next client got no live frame";
        streaming = std::move(next);
        if (cycle == 1)
            afterFirst = FiguresOf(service.Pid());
    }
    // A sender being torn down may hold its thread a moment longer, at either
    // sample: more at the end than after the first cycle is what a leak shows.
    ProcessFigures atEnd;
    EXPECT_TRUE(WaitFor(
        [&] {
            atEnd = FiguresOf(service.Pid());
            return atEnd.threads <= afterFirst.threads &&
                   atEnd.descriptors <= afterFirst.descriptors;
        },
        seconds(10)))
        << "threads " << afterFirst.threads << " -> " << atEnd.threads << ", descriptors "
        << afterFirst.descriptors << " -> " << atEnd.descriptors;
    std::printf("service after the first cycle: %d threads, %d descriptors, %ld kB; after the "
                "50th: %d threads, %d descriptors, %ld kB\n",
                afterFirst.threads, afterFirst.descriptors, afterFirst.rssKb, atEnd.threads,
                atEnd.descriptors, atEnd.rssKb);
    // Generous: a sender or a few frames leaked a cycle still exceed it.
    EXPECT_LE(atEnd.rssKb, afterFirst.rssKb + 32 * 1024)
        << "RSS " << afterFirst.rssKb << " kB -> " << atEnd.rssKb << " kB";
    // A client was waiting at every kill: the camera session stayed open.
    EXPECT_EQ(CountLogMessages("CloseSessionCommand: session closed"), 0);
    EXPECT_EQ(CountCalls("ZelOpenSession"), 1);
}

TEST(KilledService, ANewServiceTakesThePortBackAndStreamsToAClientThatAsksAgain) {
    ServiceProcess first;
    CVLClient client;
    ASSERT_TRUE(StartLiveStream(first, client));
    KillService(first);
    const std::string requestSocket = RuntimeFolder() + "/CFMessagePort/" + CVL_REQUEST_PORT_NAME;
    EXPECT_TRUE(FileExists(requestSocket)) << "no stale socket: the test proves nothing";

    // Until it asks again the client hands out what was queued (at most
    // three frames), then repeats the newest.
    const WatchedFrames orphaned = Watch(client, milliseconds(500));
    EXPECT_EQ(orphaned.Count(FrameKind::Live), static_cast<int>(orphaned.kinds.size()));
    EXPECT_LE(orphaned.UniqueLive(), 3);
    ASSERT_GE(orphaned.liveSequences.size(), 10u);
    const std::vector<uint64_t> tail(orphaned.liveSequences.end() - 10,
                                     orphaned.liveSequences.end());
    EXPECT_EQ(std::count(tail.begin(), tail.end(), tail.back()), 10);

    ServiceProcess second;
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(WaitForLogMessage("request listener started"));
    client.StartStreaming();
    ASSERT_TRUE(WaitForFrame(client, FrameKind::Live));
    EXPECT_GT(WatchUntil(client, 6).UniqueLive(), 5);
    client.StopStreaming();
}

TEST(KilledService, TheViewerWithReconnectAsksAgainOnceTheServiceIsBack) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    std::vector<std::string> arguments = kLongView;
    arguments.push_back("--reconnect");
    ViewProcess view(arguments);
    ASSERT_TRUE(WaitFor([&] { return view.UniqueFrames() > 0; }, seconds(30)));
    const std::string asked = "received: StartStreaming from: " + std::to_string(view.Pid());

    // Down long enough for the viewer to find the request port unserved.
    KillService(service);
    ASSERT_TRUE(WaitFor([&] { return view.Errors().find("is not served") != std::string::npos; },
                        seconds(30)))
        << view.Errors();
    int before = view.UniqueFrames();
    ASSERT_TRUE(service.Start());
    EXPECT_TRUE(WaitForLogMessage(asked, 1, seconds(30)));
    EXPECT_TRUE(WaitFor([&] { return view.UniqueFrames() > before + 10; }, seconds(30)))
        << view.Errors();

    // Back before the viewer noticed anything: the quiet period alone makes
    // it ask again.
    KillService(service);
    before = view.UniqueFrames();
    ASSERT_TRUE(service.Start());
    EXPECT_TRUE(WaitForLogMessage(asked, 1, seconds(30)));
    EXPECT_TRUE(WaitFor([&] { return view.UniqueFrames() > before + 10; }, seconds(30)))
        << view.Errors();
}

} // namespace
} // namespace cvl::test
