#include "FrameHub.h"

#include "cvlhost/FrameStats.h"

#include <cstdio>
#include <vector>

namespace cvl::web {

namespace {

constexpr int64_t kWindowNs = 1000000000LL;

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

} // namespace

void FrameHub::PublishLive(std::string jpeg, const host::FrameStamp* stamp, int64_t nowNs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_frames;
    double latencyMs = -1;
    if (stamp) {
        latencyMs = static_cast<double>(nowNs - stamp->monotonicNs) / 1e6;
        // A number that goes down is a new run of the simulator's loop, no gap.
        if (m_haveSequence && stamp->sequence > m_lastSequence + 1)
            m_seqGaps += stamp->sequence - m_lastSequence - 1;
        m_haveSequence = true;
        m_lastSequence = stamp->sequence;
    }
    m_recent.push_back(Arrival{nowNs, latencyMs});
    Forget(nowNs);
    Replace(std::move(jpeg), ViewState::Live, nowNs);
}

void FrameHub::PublishStatus(ViewState state, std::string jpeg) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_newest && m_state == state)
        return;
    Replace(std::move(jpeg), state, host::MonotonicNowNs());
}

void FrameHub::Replace(std::string jpeg, ViewState state, int64_t arrivedNs) {
    auto picture = std::make_shared<Picture>();
    picture->jpeg = std::move(jpeg);
    picture->serial = m_newest ? m_newest->serial + 1 : 1;
    picture->state = state;
    picture->arrivedNs = arrivedNs;
    m_newest = std::move(picture);
    m_state = state;
    m_changed.notify_all();
}

void FrameHub::Forget(int64_t nowNs) const {
    while (!m_recent.empty() && nowNs - m_recent.front().ns > kWindowNs)
        m_recent.pop_front();
}

std::shared_ptr<const Picture> FrameHub::Newest() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_newest;
}

std::shared_ptr<const Picture> FrameHub::WaitNewer(uint64_t serial,
                                                   std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, timeout,
                       [&] { return m_closed || (m_newest && m_newest->serial > serial); });
    if (m_closed)
        return nullptr;
    return m_newest;
}

void FrameHub::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_changed.notify_all();
}

bool FrameHub::IsClosed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

void FrameHub::ViewerJoined() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_viewers;
}

void FrameHub::ViewerLeft() {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_viewers;
}

int FrameHub::Viewers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_viewers;
}

ViewState FrameHub::State() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

int FrameHub::LiveRate(int64_t nowNs) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Forget(nowNs);
    return static_cast<int>(m_recent.size());
}

std::string FrameHub::StatsJson(int64_t nowNs) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Forget(nowNs);
    std::vector<double> latencies;
    for (const Arrival& arrival : m_recent)
        if (arrival.latencyMs >= 0)
            latencies.push_back(arrival.latencyMs);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_created).count();
    std::string json = "{\"state\":\"";
    json += StateText(m_state);
    json += "\",\"fps\":" + Number(static_cast<double>(m_recent.size()));
    json += ",\"latency_ms\":";
    if (latencies.empty())
        json += "null";
    else
        json += "{\"p50\":" + Number(host::FrameStats::Percentile(latencies, 50)) +
                ",\"max\":" + Number(host::FrameStats::Percentile(latencies, 100)) + "}";
    json += ",\"viewers\":" + std::to_string(m_viewers);
    json += ",\"frames\":" + std::to_string(m_frames);
    json += ",\"seq_gaps\":" + std::to_string(m_seqGaps);
    json += ",\"seconds\":" + Number(seconds) + "}";
    return json;
}

} // namespace cvl::web
