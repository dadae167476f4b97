#include "ServiceWatch.h"

#include "RequestSender.h"

#include <cstdio>

namespace cvl::view {

ServiceWatch::ServiceWatch(Clock::time_point start, Clock::duration quiet,
                           Clock::duration probeInterval)
    : m_quiet(quiet), m_probeInterval(probeInterval), m_lastFrame(start), m_nextProbe(start) {}

bool ServiceWatch::AskAgain(bool distinctLiveFrame, Clock::time_point now) {
    if (distinctLiveFrame) {
        m_lastFrame = now;
        m_lost = false;
        return false;
    }
    if (now - m_lastFrame < m_quiet || now < m_nextProbe)
        return false;
    if (!RequestPortServed()) {
        if (!m_lost)
            std::fprintf(stderr,
                         "cvl-view: no new frame for %.0f s and the service's request "
                         "port is not served; waiting for it\n",
                         std::chrono::duration<double>(m_quiet).count());
        m_lost = true;
        m_nextProbe = now + m_probeInterval;
        return false;
    }
    std::fprintf(stderr, "cvl-view: %s; asking for the stream again\n",
                 m_lost ? "the service is back" : "no new frame from a running service");
    m_lost = false;
    m_lastFrame = now;
    m_nextProbe = now;
    ++m_asked;
    return true;
}

} // namespace cvl::view
