// cvl-view --reconnect: notices a service that stopped answering and says
// when to ask for the stream again. A service that dies leaves the client
// library repeating its last frame; after a quiet period without a distinct
// live frame the watch probes the service's request port, and once the port
// is served (at once, or after it came back) the host asks again.
#ifndef CVL_TOOLS_CVLVIEW_SERVICEWATCH_H
#define CVL_TOOLS_CVLVIEW_SERVICEWATCH_H

#include <chrono>

namespace cvl::view {

class ServiceWatch {
public:
    using Clock = std::chrono::steady_clock;

    explicit ServiceWatch(Clock::time_point start, Clock::duration quiet = std::chrono::seconds(5),
                          Clock::duration probeInterval = std::chrono::milliseconds(500));

    // Called after every GetFrame with whether it gave a distinct live frame.
    // True when the host should ask for the stream again now; the quiet
    // period then starts over, so a service that answers but has nothing to
    // show (no camera) is asked at most once a period.
    bool AskAgain(bool distinctLiveFrame, Clock::time_point now);

    int TimesAsked() const { return m_asked; }

private:
    Clock::duration m_quiet;
    Clock::duration m_probeInterval;
    Clock::time_point m_lastFrame;
    Clock::time_point m_nextProbe;
    bool m_lost = false; // the request port was found unserved
    int m_asked = 0;
};

} // namespace cvl::view

#endif
