// The stream watch on a clock the test drives, with the real check of the
// request port: a local message port of that name in the test's own runtime
// folder stands for the service being there.
#include "cvlhost/RequestPort.h"
#include "cvlhost/StreamWatch.h"

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

namespace {

using namespace cvl::host;
using std::chrono::milliseconds;
using Clock = StreamWatch::Clock;
using Action = StreamWatch::Action;

// The request port, served while the object holds it.
class RequestPort {
public:
    RequestPort() { Serve(); }
    ~RequestPort() { Close(); }
    void Serve() {
        if (m_port)
            return;
        CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, RequestPortName().c_str(),
                                                     kCFStringEncodingASCII);
        m_port = CFMessagePortCreateLocal(kCFAllocatorDefault, name, &Reply, nullptr, nullptr);
        CFRelease(name);
        ASSERT_NE(m_port, nullptr);
    }
    void Close() {
        if (!m_port)
            return;
        CFMessagePortInvalidate(m_port);
        CFRelease(m_port);
        m_port = nullptr;
    }

private:
    static CFDataRef Reply(CFMessagePortRef, SInt32, CFDataRef, void*) { return nullptr; }
    CFMessagePortRef m_port = nullptr;
};

// The watch with the real probe, counting its checks, on a clock at t0 + ms.
struct Watched {
    Clock::time_point t0 = Clock::now();
    int probes = 0;
    StreamWatch watch{t0, [this] {
                          ++probes;
                          return RequestPortServed();
                      }};
    Clock::time_point At(int ms) const { return t0 + milliseconds(ms); }
    // Frames every 5 ms (as the capture calls GetFrame) from one time to another;
    // every action the watch asked for, in order.
    std::vector<Action> Run(int fromMs, int toMs, FrameKind kind, bool distinct, bool fromService) {
        std::vector<Action> actions;
        for (int ms = fromMs; ms < toMs; ms += 5) {
            const Action action =
                watch.Observe(kind, distinct && ms == fromMs, fromService, At(ms));
            if (action != Action::None)
                actions.push_back(action);
        }
        return actions;
    }
};

TEST(StreamWatch, AServiceThatDiesIsNamedSoonAndTheStreamResumesWhenItIsBack) {
    RequestPort service;
    Watched w;
    // Live frames for a second: no check of the port at all.
    for (int ms = 0; ms < 1000; ms += 30)
        EXPECT_EQ(w.watch.Observe(FrameKind::Live, true, true, w.At(ms)), Action::None);
    EXPECT_EQ(w.watch.State(), StreamState::Live);
    EXPECT_EQ(w.probes, 0);

    // The service dies: the client repeats the last frame. Still live until
    // the quiet second is over, then named, and the frozen frame dropped once.
    service.Close();
    EXPECT_TRUE(w.Run(990, 1985, FrameKind::Live, false, true).empty());
    EXPECT_EQ(w.watch.State(), StreamState::Live);
    EXPECT_EQ(w.Run(1985, 2100, FrameKind::Live, false, true),
              std::vector<Action>{Action::DropStale});
    EXPECT_EQ(w.watch.State(), StreamState::ServiceNotRunning);

    // The library's own busy picture (nothing for 5 s) is no busy camera, and
    // the port is checked every half second, not at every frame.
    const int before = w.probes;
    EXPECT_TRUE(w.Run(2100, 9000, FrameKind::Busy, true, false).empty());
    EXPECT_EQ(w.watch.State(), StreamState::ServiceNotRunning);
    EXPECT_GE(w.probes - before, 13);
    EXPECT_LE(w.probes - before, 15);

    // A new service: asked for the stream within one check, waiting, then live.
    service.Serve();
    EXPECT_EQ(w.Run(9000, 9105, FrameKind::Busy, false, false),
              std::vector<Action>{Action::AskAgain});
    EXPECT_EQ(w.watch.State(), StreamState::Waiting);
    // Asked again, the library shows its waiting picture until frames come.
    EXPECT_TRUE(w.Run(9105, 9600, FrameKind::Error, true, false).empty());
    EXPECT_EQ(w.watch.State(), StreamState::Waiting);
    EXPECT_EQ(w.watch.Observe(FrameKind::Live, true, true, w.At(9700)), Action::None);
    EXPECT_EQ(w.watch.State(), StreamState::Live);
    EXPECT_EQ(w.watch.TimesAsked(), 1);
}

TEST(StreamWatch, WhileTheServiceRunsThePictureNamesTheCauseAndAsksAreFiveSecondsApart) {
    RequestPort service;
    Watched w;
    // The waiting picture of the first seconds.
    EXPECT_TRUE(w.Run(0, 900, FrameKind::Error, true, false).empty());
    EXPECT_EQ(w.watch.State(), StreamState::Waiting);
    // The service sends the busy picture: a camera held by another program.
    EXPECT_TRUE(w.Run(900, 3000, FrameKind::Busy, true, true).empty());
    EXPECT_EQ(w.watch.State(), StreamState::CameraBusy);
    // Then the no-camera picture; nothing new for long: asked again, but at
    // most once every 5 s.
    const std::vector<Action> actions = w.Run(3000, 21000, FrameKind::Disconnected, true, true);
    EXPECT_EQ(w.watch.State(), StreamState::NoCamera);
    EXPECT_EQ(actions, std::vector<Action>(3, Action::AskAgain));

    // The library's busy picture while the service runs but sends this
    // process nothing: another program holds the service's one stream.
    Watched other;
    other.Run(0, 5000, FrameKind::Error, true, false);
    other.Run(5000, 5500, FrameKind::Busy, true, false);
    EXPECT_EQ(other.watch.State(), StreamState::CameraBusy);
}

TEST(StreamWatch, AFrozenLiveFrameFromARunningServiceStopsBeingLiveAndIsAskedForAgain) {
    RequestPort service;
    Watched w;
    for (int ms = 0; ms < 1000; ms += 30)
        w.watch.Observe(FrameKind::Live, true, true, w.At(ms));
    // The newest frame repeated: live for the first seconds, then waiting,
    // with one request for the stream.
    EXPECT_TRUE(w.Run(1000, 5900, FrameKind::Live, false, true).empty());
    EXPECT_EQ(w.watch.State(), StreamState::Live);
    EXPECT_EQ(w.Run(5900, 6100, FrameKind::Live, false, true),
              std::vector<Action>{Action::AskAgain});
    EXPECT_EQ(w.watch.State(), StreamState::Waiting);
}

TEST(StreamWatch, NoServiceFromTheStartIsNamedAfterTheFirstQuietSecond) {
    Watched w;
    EXPECT_TRUE(w.Run(0, 995, FrameKind::Error, true, false).empty());
    EXPECT_EQ(w.watch.State(), StreamState::Waiting);
    EXPECT_EQ(w.Run(995, 1100, FrameKind::Error, false, false),
              std::vector<Action>{Action::DropStale});
    EXPECT_EQ(w.watch.State(), StreamState::ServiceNotRunning);
    // The busy picture that follows is checked at once, and changes nothing.
    EXPECT_TRUE(w.Run(5000, 5100, FrameKind::Busy, true, false).empty());
    EXPECT_EQ(w.watch.State(), StreamState::ServiceNotRunning);
}

} // namespace
