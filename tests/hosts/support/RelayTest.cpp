// Host processes share the service's one client stream through the frame
// relay: cvl-web (programs of their own) and cvlsrc (an element in this
// process) against the real service of a staged installation, started in
// different orders, the owner killed or stopped, and peers that do not keep
// to the relay's format.
#include "GstTestSupport.h"
#include "HttpProbe.h"
#include "ServiceHarness.h"
#include "ServiceLog.h"
#include "TestSupport.h"

#include "cvlhost/RelayMessage.h"
#include "cvlhost/RelayPlace.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

namespace cvl::test {
namespace {

using Clock = std::chrono::steady_clock;
using host::RelayHeader;
using host::RelayPlace;

constexpr std::chrono::seconds kLive{30};

int CountRequests(const std::string& command) {
    int count = 0;
    for (const std::string& message : LogMessages())
        count += message.rfind("received: " + command + " from: ", 0) == 0 ? 1 : 0;
    return count;
}

constexpr char kStart[] = "received: StartStreaming from: ";
constexpr char kStop[] = "received: StopStreaming from: ";

// The processes that asked the service for the stream: one per ownership. A
// process that asks again for its own stream (its stream watch, when frames
// stall on a slow machine) is still one owner.
std::set<std::string> Owners() {
    std::set<std::string> owners;
    for (const std::string& message : LogMessages())
        if (message.rfind(kStart, 0) == 0)
            owners.insert(message.substr(sizeof(kStart) - 1));
    return owners;
}

// New live frames reach cvl-web's page.
bool WebLive(const WebProcess& web) {
    const double before = web.Stat("frames");
    return WaitFor([&] { return web.State() == "live" && web.Stat("frames") > before + 5; }, kLive);
}

// New distinct live frames reach the pipeline's sink.
bool SrcLive(Pipeline& pipeline) {
    const size_t from = pipeline.BufferCount();
    return pipeline.WaitForBuffers(
        [&](const std::vector<Buffer>& all) {
            return all.size() > from &&
                   DistinctLive(
                       std::vector<Buffer>(all.begin() + static_cast<long>(from), all.end())) >= 10;
        },
        kLive);
}

// The owners, for a failure's message.
std::string Listed(const std::set<std::string>& owners) {
    std::string text;
    for (const std::string& owner : owners)
        text += " " + owner;
    return text;
}

// Every ownership has ended with a StopStreaming, but those of the owners
// that were killed.
bool AllEnded(const std::set<std::string>& killed) {
    return WaitFor(
        [&] {
            std::map<std::string, bool> streaming;
            for (const std::string& message : LogMessages()) {
                if (message.rfind(kStart, 0) == 0)
                    streaming[message.substr(sizeof(kStart) - 1)] = true;
                else if (message.rfind(kStop, 0) == 0)
                    streaming[message.substr(sizeof(kStop) - 1)] = false;
            }
            for (const auto& [owner, on] : streaming)
                if (on && !killed.count(owner))
                    return false;
            return true;
        },
        kLive);
}

bool NeverBusy(Pipeline& pipeline) {
    for (const std::string& state : pipeline.States()) {
        if (state == "camera busy")
            return false;
    }
    return true;
}

TEST(HostRelay, HostsStartedInAnyOrderAllShowTheOneStreamAndSurviveTheirOwner) {
    InitGStreamer();
    ServiceProcess service;
    ASSERT_TRUE(service.Start());

    std::string killedOwner;
    // cvl-web first: it owns the stream; the element and a second cvl-web
    // read it from the relay.
    {
        WebProcess owner;
        ASSERT_TRUE(owner.Start());
        ASSERT_TRUE(WebLive(owner)) << owner.State();
        Pipeline pipeline("cvlsrc ! appsink name=sink");
        ASSERT_TRUE(pipeline.Play());
        WebProcess second;
        ASSERT_TRUE(second.Start());
        EXPECT_TRUE(SrcLive(pipeline)) << pipeline.Error();
        EXPECT_TRUE(WebLive(second)) << second.State();
        EXPECT_TRUE(WebLive(owner)) << owner.State();
        EXPECT_EQ(Owners().size(), 1u);
        EXPECT_TRUE(NeverBusy(pipeline));

        // The owner dies: one of the others takes over, the other keeps
        // reading; both show live frames again within seconds.
        ASSERT_EQ(kill(owner.Pid(), SIGKILL), 0);
        const auto killed = Clock::now();
        EXPECT_TRUE(SrcLive(pipeline));
        EXPECT_TRUE(WebLive(second)) << second.State();
        std::printf("both live again %lld ms after the owner was killed\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed)
                            .count()));
        EXPECT_TRUE(NeverBusy(pipeline));
        EXPECT_EQ(second.State(), "live");
        EXPECT_EQ(Owners().size(), 2u);

        // The last ones close: the stream ends.
        EXPECT_TRUE(pipeline.Stop());
        EXPECT_EQ(second.Signal(SIGTERM), 0);
        killedOwner = std::to_string(owner.Pid());
        EXPECT_TRUE(AllEnded({killedOwner}));
    }

    // The element first: this process owns the stream. When the element
    // stops, a cvl-web takes the stream over and the other keeps reading.
    {
        const size_t owned = Owners().size();
        Pipeline pipeline("cvlsrc ! appsink name=sink");
        ASSERT_TRUE(pipeline.Play());
        ASSERT_TRUE(SrcLive(pipeline)) << pipeline.Error();
        WebProcess first;
        ASSERT_TRUE(first.Start());
        WebProcess second;
        ASSERT_TRUE(second.Start());
        EXPECT_TRUE(WebLive(first)) << first.State();
        EXPECT_TRUE(WebLive(second)) << second.State();
        EXPECT_TRUE(SrcLive(pipeline));
        EXPECT_EQ(Owners().size(), owned + 1)
            << Listed(Owners()) << " (this process " << getpid() << ")";
        EXPECT_TRUE(
            WaitForLogMessage("received: StartStreaming from: " + std::to_string(getpid())));

        EXPECT_TRUE(pipeline.Stop());
        EXPECT_TRUE(WaitForLogMessage("received: StopStreaming from: " + std::to_string(getpid())));
        EXPECT_TRUE(WebLive(first)) << first.State();
        EXPECT_TRUE(WebLive(second)) << second.State();
        EXPECT_EQ(Owners().size(), owned + 2) << Listed(Owners());

        EXPECT_EQ(first.Signal(SIGTERM), 0);
        EXPECT_EQ(second.Signal(SIGTERM), 0);
        EXPECT_TRUE(AllEnded({killedOwner}));
    }
}

// Sends bytes to fd until the socket takes no more.
void Fill(int fd, const std::string& bytes) {
    while (send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
}

TEST(HostRelay, PeersThatBreakTheFormatHarmNobody) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    const RelayPlace place;
    ASSERT_TRUE(place.Usable()) << place.Folder();

    // Readers that send garbage, that never read, and more than the owner
    // takes: the owner and a well-behaved reader stay live.
    {
        WebProcess owner;
        ASSERT_TRUE(owner.Start());
        ASSERT_TRUE(WebLive(owner)) << owner.State();
        std::vector<int> hostile;
        for (int i = 0; i < 40; ++i) {
            const int fd = place.Connect();
            ASSERT_GE(fd, 0);
            hostile.push_back(fd);
            if (i % 2 == 0)
                Fill(fd, std::string(4096, static_cast<char>(i)));
        }
        WebProcess reader;
        ASSERT_TRUE(reader.Start());
        EXPECT_TRUE(WebLive(owner)) << owner.State();
        EXPECT_TRUE(WebLive(reader)) << reader.State();
        for (int fd : hostile)
            close(fd);
        EXPECT_EQ(reader.Signal(SIGTERM), 0);
        EXPECT_EQ(owner.Signal(SIGTERM), 0);
    }

    // An owner that sends garbage, then a length far too large: the reader
    // drops it and, once the false owner is gone, streams by itself.
    const int started = CountRequests("StartStreaming");
    RelayPlace squatter;
    ASSERT_TRUE(squatter.TakeOwnership());
    WebProcess web;
    ASSERT_TRUE(web.Start());
    const auto accepted = [&] {
        int fd = -1;
        WaitFor(
            [&] {
                fd = accept4(squatter.ListenFd(), nullptr, nullptr, SOCK_CLOEXEC);
                return fd >= 0;
            },
            kLive);
        return fd;
    };
    const int garbage = accepted();
    ASSERT_GE(garbage, 0);
    Fill(garbage, std::string(100000, 'x'));
    const int huge = accepted(); // it came back after dropping the first
    ASSERT_GE(huge, 0);
    unsigned char header[RelayHeader::kSize];
    RelayHeader valid;
    valid.kind = host::FrameKind::Live;
    valid.state = host::StreamState::Live;
    valid.length = 1000;
    valid.Encode(header);
    // The length (bytes 8 to 11, least significant first) one past the bound.
    const uint32_t tooLong = RelayHeader::kMaxFrameBytes + 1;
    for (int i = 0; i < 4; ++i)
        header[8 + i] = static_cast<unsigned char>(tooLong >> (8 * i));
    EXPECT_EQ(send(huge, header, sizeof header, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof header));
    const int third = accepted();
    EXPECT_GE(third, 0);
    // Never a StartStreaming while the false owner holds the lock.
    EXPECT_EQ(CountRequests("StartStreaming"), started);
    for (int fd : {garbage, huge, third}) {
        if (fd >= 0)
            close(fd);
    }
    squatter.GiveUp();
    EXPECT_TRUE(WebLive(web)) << web.State();
    EXPECT_EQ(CountRequests("StartStreaming"), started + 1);
    EXPECT_EQ(web.Signal(SIGTERM), 0);

    // A lock that cannot be taken and no owner: the host streams alone
    // after a few seconds and says why.
    ASSERT_EQ(unlink(place.LockPath().c_str()), 0);
    ASSERT_EQ(mkdir(place.LockPath().c_str(), 0700), 0);
    WebProcess alone;
    ASSERT_TRUE(alone.Start());
    EXPECT_TRUE(WebLive(alone)) << alone.State();
    EXPECT_EQ(CountRequests("StartStreaming"), started + 2);
    EXPECT_EQ(alone.Signal(SIGTERM), 0);
    EXPECT_NE(alone.Errors().find("cannot be used, streaming alone"), std::string::npos)
        << alone.Errors();
    rmdir(place.LockPath().c_str());
}

} // namespace
} // namespace cvl::test
