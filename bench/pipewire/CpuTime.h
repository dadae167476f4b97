// CPU time (user and system) of a set of processes, from /proc, for the
// share of a core that a chain of programs uses over a benchmark's window.
#ifndef CVL_BENCH_PIPEWIRE_CPUTIME_H
#define CVL_BENCH_PIPEWIRE_CPUTIME_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cvl::bench {

class CpuTime {
public:
    // Parses "PID,PID,..."; false for anything else.
    bool Parse(const std::string& list);
    void Add(pid_t pid) { m_pids.push_back(pid); }

    // Takes the first sample, then the last one; each sums the CPU seconds of
    // the processes and of their descendants, so the processes must outlive
    // the window.
    void Start(int64_t nowNs);
    void Stop(int64_t nowNs);
    bool Started() const { return m_startNs != 0; }
    bool Stopped() const { return m_stopNs != 0; }
    // CPU seconds a second between the samples; -1 without both.
    double Share() const;

private:
    double Seconds() const;

    std::vector<pid_t> m_pids;
    int64_t m_startNs = 0, m_stopNs = 0;
    double m_startSeconds = 0, m_stopSeconds = 0;
};

} // namespace cvl::bench

#endif
