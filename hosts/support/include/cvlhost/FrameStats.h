// What a host got from the client library, call by call: per-second lines
// and the summary of a whole run (counts of live, unique and status frames,
// latency from the simulator's stamps, skipped sequence numbers).
#ifndef CVLHOST_FRAMESTATS_H
#define CVLHOST_FRAMESTATS_H

#include "cvlhost/FrameKind.h"
#include "cvlhost/FrameStamp.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cvl::host {

class FrameStats {
public:
    // One call that returned a stock status frame.
    void RecordStatus(FrameKind kind);
    // One call that returned a live frame. unique: it differs from the live
    // frame returned before (it is not a repeat). For a unique frame with a
    // stamp, nowNs (CLOCK_MONOTONIC) gives its latency and its sequence
    // number is checked against the one before.
    void RecordLive(bool unique, const FrameStamp* stamp, int64_t nowNs);

    // The line for one finished second of the run (numbered from 1); starts
    // the next second's counts.
    std::string TakeSecondLine(int second);
    bool SecondHasCalls() const { return m_second.calls > 0; }

    // One line of JSON for the whole run of elapsedSeconds: calls, live,
    // unique, fps, status {error, busy, disconnected}, latency_ms {p50, p95,
    // p99, max} or null, first_seq and last_seq or null, seq_gaps, seconds.
    std::string SummaryJson(double elapsedSeconds) const;

    int64_t Calls() const { return m_total.calls; }
    int64_t Live() const { return m_total.live; }
    int64_t Unique() const { return m_total.unique; }
    int64_t Errors() const { return m_total.error; }
    int64_t Busy() const { return m_total.busy; }
    int64_t Disconnected() const { return m_total.disconnected; }
    int64_t SequenceGaps() const { return m_total.seqGaps; }

    // Nearest-rank percentile (0 < p <= 100) of values; 0 for none.
    static double Percentile(std::vector<double> values, double p);

private:
    struct Counts {
        int64_t calls = 0;
        int64_t live = 0;
        int64_t unique = 0;
        int64_t error = 0;
        int64_t busy = 0;
        int64_t disconnected = 0;
        int64_t seqGaps = 0;
        std::vector<double> latenciesMs;
    };

    Counts m_total;
    Counts m_second;
    bool m_haveSequence = false;
    uint64_t m_firstSequence = 0;
    uint64_t m_lastSequence = 0;
};

} // namespace cvl::host

#endif
