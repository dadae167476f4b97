// The watch over one client stream: it tells why there is no live picture
// and when to ask the service for the stream again.
//
// The client library repeats its newest frame for as long as nothing newer
// comes, and makes its own status pictures when nothing came at all: the
// waiting picture for the first 5 s, then the busy one, whether the camera is
// busy or the service is gone. So the watch does not take a status picture's
// word for the cause: whenever live frames stop for probeAfter, or the kind of
// picture changes to a status one, it checks the service's request port, and
// every probeInterval after that for as long as no new live frame comes.
//
// - Port not served: the service is not running. The host should drop the
//   frozen frame the library would repeat (Action::DropStale, once); when the
//   port is served again the host asks for the stream (Action::AskAgain).
// - Port served: the cause is the status picture's (busy, no camera, waiting).
//   A busy picture that the library made itself (nothing came from the
//   service for 5 s) means that the service runs but sends this process
//   nothing: another program holds the service's one stream. Live frames
//   that stopped for askAfter turn the state to Waiting, and the host asks
//   for the stream again, at most once every askAfter.
//
// The watch is plain logic on the times it is given, so a test drives it
// with a clock of its own; the port check is a function it is given.
#ifndef CVLHOST_STREAMWATCH_H
#define CVLHOST_STREAMWATCH_H

#include "cvlhost/FrameKind.h"
#include "cvlhost/StreamState.h"

#include <chrono>
#include <functional>

namespace cvl::host {

// The watch's times.
struct WatchTiming {
    // No new live frame for this long: check the request port.
    std::chrono::steady_clock::duration probeAfter = std::chrono::seconds(1);
    // Then check again this often while no new live frame comes.
    std::chrono::steady_clock::duration probeInterval = std::chrono::milliseconds(500);
    // No new live frame for this long from a running service: ask again.
    std::chrono::steady_clock::duration askAfter = std::chrono::seconds(5);
    // The same live frame for this long is no longer shown as live: a host
    // shows the waiting picture until a new one comes (FrameCapture).
    std::chrono::steady_clock::duration frozenAfter = std::chrono::seconds(2);
};

class StreamWatch {
public:
    using Clock = std::chrono::steady_clock;
    using PortProbe = std::function<bool()>;

    using Timing = WatchTiming;

    enum class Action {
        None,
        AskAgain,  // ask the service for the stream again (StartStreaming)
        DropStale, // the service is gone: stop repeating its last frame
    };

    // probe: true when the service's request port is served
    // (RequestPortServed unless a test gives another).
    explicit StreamWatch(Clock::time_point start, PortProbe probe = PortProbe(),
                         Timing timing = Timing());

    // Called after every GetFrame. kind: what the frame shows; distinct: it
    // differs from the frame before; fromService: it came from the service,
    // not from the library's own status pictures (see FrameCapture).
    Action Observe(FrameKind kind, bool distinct, bool fromService, Clock::time_point now);

    StreamState State() const { return m_state; }
    // How often Observe said AskAgain.
    int TimesAsked() const { return m_asked; }

private:
    bool Probe(Clock::time_point now);

    PortProbe m_probe;
    Timing m_timing;
    StreamState m_state = StreamState::Waiting;
    Clock::time_point m_lastLive;  // the last new live frame, or the start
    Clock::time_point m_lastAsked; // the last request for the stream, or the start
    Clock::time_point m_nextProbe;
    FrameKind m_lastKind = FrameKind::Error;
    bool m_unserved = false; // the last check found the port unserved
    int m_asked = 0;
};

} // namespace cvl::host

#endif
