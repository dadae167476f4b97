// What a benchmark consumer saw: for every camera frame it received, the
// time it held the decoded frame and the frame's camera time, from a stamp
// that came with the frame or from the number in its pixels looked up in
// the camera's send log. Repeats of a frame (a node that shows the same
// picture again) count once, at their first arrival.
#ifndef CVL_BENCH_PIPEWIRE_FRAMETIMES_H
#define CVL_BENCH_PIPEWIRE_FRAMETIMES_H

#include <cstdint>
#include <string>
#include <vector>

namespace cvl::bench {

class FrameTimes {
public:
    // Frames that arrive before skipNs after the first one are not counted
    // (the connection and the first seconds of a pipeline).
    explicit FrameTimes(int64_t skipNs) : m_skipNs(skipNs) {}

    // A frame identified by key (its sequence or stamp) with its camera time.
    void Stamped(uint64_t key, int64_t cameraNs, int64_t nowNs);
    // A frame identified by the number in its pixels.
    void Numbered(uint32_t number, int64_t nowNs);
    // A frame known only by its content (key: a hash of its pixels): counted
    // as a distinct frame when it differs from the one before, without a
    // latency.
    void Distinct(uint64_t key, int64_t nowNs);
    // A frame with neither (a status picture, or an unreadable number).
    void Unmarked(int64_t nowNs);

    // Gives the numbered frames their camera times from a send log of lines
    // "<sequence> <ns>", the frame numbered sequence % numbers: the latest
    // send of that number before the frame arrived. False when the log
    // cannot be read.
    bool JoinSendLog(const std::string& path, uint32_t numbers);

    bool Started() const { return m_firstNs != 0; }
    int64_t FirstNs() const { return m_firstNs; }
    // {"frames": N, "fps": F, "p50": ms, "p95": ms, "p99": ms, "unmarked": N,
    //  "unmatched": N}: distinct frames counted and their rate over the
    // counted time, latency percentiles.
    std::string SummaryJson() const;

private:
    bool Counting(int64_t nowNs);
    // False for a repeat of the frame before.
    bool New(uint64_t key);

    struct Arrival {
        uint32_t number;
        int64_t nowNs;
    };
    int64_t m_skipNs;
    int64_t m_firstNs = 0;
    int64_t m_countFromNs = 0;
    int64_t m_lastNs = 0;
    bool m_haveKey = false;
    uint64_t m_lastKey = 0;
    int64_t m_unmarked = 0;
    int64_t m_unmatched = 0;
    int64_t m_frames = 0;
    std::vector<double> m_latenciesMs;
    std::vector<Arrival> m_numbered;
};

} // namespace cvl::bench

#endif
