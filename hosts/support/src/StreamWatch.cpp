#include "cvlhost/StreamWatch.h"

#include "cvlhost/RequestPort.h"

namespace cvl::host {

StreamWatch::StreamWatch(Clock::time_point start, PortProbe probe, Timing timing)
    : m_probe(probe ? std::move(probe) : PortProbe(&RequestPortServed)), m_timing(timing),
      m_lastLive(start), m_lastAsked(start), m_nextProbe(start + timing.probeAfter) {}

bool StreamWatch::Probe(Clock::time_point now) {
    m_nextProbe = now + m_timing.probeInterval;
    return m_probe();
}

StreamWatch::Action StreamWatch::Observe(FrameKind kind, bool distinct, bool fromService,
                                         Clock::time_point now) {
    if (kind == FrameKind::Live && distinct) {
        m_lastLive = now;
        m_lastKind = kind;
        m_unserved = false;
        m_state = StreamState::Live;
        m_nextProbe = now + m_timing.probeAfter;
        return Action::None;
    }
    // A status picture that the service sent is news from a running service:
    // it restarts the wait before asking again, not the wait before probing.
    if (kind != FrameKind::Live && distinct && fromService)
        m_lastAsked = now;

    // A status picture does not tell whether the service is there: the
    // library makes its own when nothing comes. Each new one is checked at
    // once, and any quiet spell every probeInterval.
    bool probeNow = kind != FrameKind::Live && kind != m_lastKind;
    m_lastKind = kind;
    if (now - m_lastLive >= m_timing.probeAfter && now >= m_nextProbe)
        probeNow = true;
    if (probeNow) {
        if (!Probe(now)) {
            const bool first = !m_unserved;
            m_unserved = true;
            m_state = StreamState::ServiceNotRunning;
            return first ? Action::DropStale : Action::None;
        }
        if (m_unserved) {
            // The service is back: the stream starts over.
            m_unserved = false;
            m_state = StreamState::Waiting;
            m_lastLive = now;
            m_lastAsked = now;
            ++m_asked;
            return Action::AskAgain;
        }
    }
    if (m_unserved)
        return Action::None;

    // The service is there (as of the last check): the picture tells why.
    switch (kind) {
    case FrameKind::Busy:
        m_state = StreamState::CameraBusy;
        break;
    case FrameKind::Disconnected:
        m_state = StreamState::NoCamera;
        break;
    case FrameKind::Error:
        m_state = StreamState::Waiting;
        break;
    case FrameKind::Live:
        // The newest live frame again: a frozen picture is no longer live.
        if (now - m_lastLive >= m_timing.askAfter)
            m_state = StreamState::Waiting;
        break;
    }
    if (now - m_lastLive >= m_timing.askAfter && now - m_lastAsked >= m_timing.askAfter) {
        m_lastAsked = now;
        ++m_asked;
        return Action::AskAgain;
    }
    return Action::None;
}

} // namespace cvl::host
