#include "RunNotice.h"

namespace cvl::camera {

bool RunNotice::Event(Clock::time_point now) {
    const bool first = !m_inRun || now - m_last >= m_quiet;
    m_inRun = true;
    m_last = now;
    return first;
}

} // namespace cvl::camera
