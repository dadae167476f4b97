// The newest picture of the one stream, shared by every viewer: the frame
// pump replaces it, each viewer takes whichever picture is newest when it is
// ready for the next one. Nothing is queued per viewer, so a slow viewer skips
// pictures and the memory held is one picture per viewer at most.
#ifndef CVL_HOSTS_WEB_FRAMEHUB_H
#define CVL_HOSTS_WEB_FRAMEHUB_H

#include "cvlhost/FrameStamp.h"
#include "cvlhost/StreamState.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace cvl::web {

// What the stream shows: live video, or why there is none (the stream
// watch's state); StateText gives "live", "waiting", "service not running",
// "camera busy" or "no camera".
using ViewState = host::StreamState;
using host::StateText;

struct Picture {
    std::string jpeg;
    uint64_t serial = 0; // 1 for the first picture, one more for each after it
    ViewState state = ViewState::Waiting;
    int64_t arrivedNs = 0; // CLOCK_MONOTONIC when the hub got it
};

class FrameHub {
public:
    // A new live frame (not a repeat). stamp, when the frame has one, gives
    // the latency against nowNs (CLOCK_MONOTONIC) and the sequence number.
    void PublishLive(std::string jpeg, const host::FrameStamp* stamp, int64_t nowNs);
    // A status picture (or a frozen live one), with the reason: it becomes
    // the newest picture only when the state changes. Its arrival is now.
    void PublishStatus(ViewState state, std::string jpeg);

    // The newest picture, or null before the first.
    std::shared_ptr<const Picture> Newest() const;
    // Waits until a picture newer than serial is there, the hub is closed or
    // timeout passes; returns the newest picture then (null when closed or
    // when there is none).
    std::shared_ptr<const Picture> WaitNewer(uint64_t serial,
                                             std::chrono::milliseconds timeout) const;

    // Ends every wait for good: viewers finish their streams.
    void Close();
    bool IsClosed() const;

    void ViewerJoined();
    void ViewerLeft();
    int Viewers() const;

    ViewState State() const;
    // New live frames in the second before nowNs.
    int LiveRate(int64_t nowNs) const;
    // The figures as one JSON object: state, fps (new live frames in the
    // last second), latency_ms {p50, max} of those frames or null, viewers,
    // frames (new live frames in all), seq_gaps, seconds (since the hub was
    // made).
    std::string StatsJson(int64_t nowNs) const;

private:
    struct Arrival {
        int64_t ns;
        double latencyMs; // negative without a stamp
    };

    void Replace(std::string jpeg, ViewState state, int64_t arrivedNs);
    void Forget(int64_t nowNs) const;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::shared_ptr<const Picture> m_newest;
    ViewState m_state = ViewState::Waiting;
    bool m_closed = false;
    int m_viewers = 0;
    uint64_t m_frames = 0;
    uint64_t m_seqGaps = 0;
    bool m_haveSequence = false;
    uint64_t m_lastSequence = 0;
    mutable std::deque<Arrival> m_recent; // the last second's new live frames
    std::chrono::steady_clock::time_point m_created = std::chrono::steady_clock::now();
};

} // namespace cvl::web

#endif
