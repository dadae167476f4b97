// One line on standard error for a run of like events, however long the
// run: it ends after a quiet time without one.
#ifndef CVL_HOSTS_PIPEWIRE_RUNNOTICE_H
#define CVL_HOSTS_PIPEWIRE_RUNNOTICE_H

#include <chrono>

namespace cvl::camera {

class RunNotice {
public:
    using Clock = std::chrono::steady_clock;

    explicit RunNotice(std::chrono::seconds quiet) : m_quiet(quiet) {}

    // True for the first event of a run: the caller says it then.
    bool Event(Clock::time_point now);

private:
    std::chrono::seconds m_quiet;
    bool m_inRun = false;
    Clock::time_point m_last;
};

} // namespace cvl::camera

#endif
