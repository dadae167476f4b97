#include "LiveGaps.h"

#include "CVLClient.h"
#include "ServiceHarness.h"

#include <cstdio>
#include <memory>

namespace cvl::test {

void ReportTime(const char* what, std::chrono::milliseconds time) {
    std::printf("%s: %lld ms\n", what, static_cast<long long>(time.count()));
}

void LiveGaps::Live(uint64_t sequence, Clock::time_point at) {
    if (!m_live.empty() && sequence == m_lastSequence)
        return;
    EndLivePicture(at);
    m_lastSequence = sequence;
    m_live.push_back(at);
    m_showingLive = true;
    m_liveSince = at;
}

void LiveGaps::Status(Clock::time_point at) {
    EndLivePicture(at);
    ++m_status;
}

void LiveGaps::EndLivePicture(Clock::time_point at) {
    if (m_showingLive)
        m_frozen = std::max(m_frozen, at - m_liveSince);
    m_showingLive = false;
}

std::chrono::milliseconds LiveGaps::LongestFrozen() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(m_frozen);
}

std::chrono::milliseconds LiveGaps::Longest() const {
    Clock::duration longest{};
    for (size_t i = 1; i < m_live.size(); ++i)
        longest = std::max(longest, m_live[i] - m_live[i - 1]);
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
}

bool LiveGaps::FirstLiveAfter(Clock::time_point from, std::chrono::milliseconds& after) const {
    for (const Clock::time_point at : m_live)
        if (at >= from) {
            after = std::chrono::duration_cast<std::chrono::milliseconds>(at - from);
            return true;
        }
    return false;
}

ClientGapWatch::ClientGapWatch(CVLClient& client) : m_thread([this, &client] { Run(client); }) {}

ClientGapWatch::~ClientGapWatch() {
    Stop();
}

void ClientGapWatch::Run(CVLClient& client) {
    for (;;) {
        std::unique_ptr<EvfFrame> frame(client.GetFrame());
        const FrameKind kind = KindOf(*frame);
        uint64_t sequence = 0;
        const auto now = LiveGaps::Clock::now();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
            if (kind == FrameKind::Live && FrameSequence(*frame, sequence))
                m_gaps.Live(sequence, now);
            else if (kind != FrameKind::Live)
                m_gaps.Status(now);
            m_noCamera += kind == FrameKind::Disconnected;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool ClientGapWatch::WaitFor(const std::function<bool(const LiveGaps&)>& condition,
                             std::chrono::milliseconds timeout) {
    const auto end = LiveGaps::Clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (condition(m_gaps))
                return true;
        }
        if (LiveGaps::Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool ClientGapWatch::SawNoCamera() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_noCamera > 0;
}

bool ClientGapWatch::WaitForNoCamera(std::chrono::milliseconds timeout) {
    const auto end = LiveGaps::Clock::now() + timeout;
    while (!SawNoCamera()) {
        if (LiveGaps::Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

LiveGaps ClientGapWatch::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_gaps;
}

} // namespace cvl::test
