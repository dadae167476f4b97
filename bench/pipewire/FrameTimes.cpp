#include "FrameTimes.h"

#include "cvlhost/FrameStats.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace cvl::bench {

bool FrameTimes::Counting(int64_t nowNs) {
    if (m_firstNs == 0) {
        m_firstNs = nowNs;
        m_countFromNs = nowNs + m_skipNs;
    }
    if (nowNs < m_countFromNs)
        return false;
    m_lastNs = nowNs;
    return true;
}

bool FrameTimes::New(uint64_t key) {
    const bool repeat = m_haveKey && key == m_lastKey;
    m_haveKey = true;
    m_lastKey = key;
    return !repeat;
}

void FrameTimes::Stamped(uint64_t key, int64_t cameraNs, int64_t nowNs) {
    if (!New(key) || !Counting(nowNs))
        return;
    ++m_frames;
    m_latenciesMs.push_back(static_cast<double>(nowNs - cameraNs) / 1e6);
}

void FrameTimes::Numbered(uint32_t number, int64_t nowNs) {
    if (!New(number) || !Counting(nowNs))
        return;
    ++m_frames;
    m_numbered.push_back({number, nowNs});
}

void FrameTimes::Distinct(uint64_t key, int64_t nowNs) {
    if (New(key) && Counting(nowNs))
        ++m_frames;
}

void FrameTimes::Unmarked(int64_t nowNs) {
    if (Counting(nowNs))
        ++m_unmarked;
}

bool FrameTimes::JoinSendLog(const std::string& path, uint32_t numbers) {
    std::ifstream in(path);
    if (!in)
        return false;
    // Send times by number, in the order sent.
    std::map<uint32_t, std::vector<int64_t>> sent;
    unsigned long long sequence = 0;
    long long ns = 0;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        if (fields >> sequence >> ns)
            sent[static_cast<uint32_t>(sequence % numbers)].push_back(ns);
    }
    for (const Arrival& arrival : m_numbered) {
        const auto times = sent.find(arrival.number);
        if (times == sent.end()) {
            ++m_unmatched;
            continue;
        }
        auto after = std::upper_bound(times->second.begin(), times->second.end(), arrival.nowNs);
        if (after == times->second.begin()) {
            ++m_unmatched;
            continue;
        }
        m_latenciesMs.push_back(static_cast<double>(arrival.nowNs - *(after - 1)) / 1e6);
    }
    m_numbered.clear();
    return true;
}

std::string FrameTimes::SummaryJson() const {
    using host::FrameStats;
    const double seconds = static_cast<double>(m_lastNs - m_countFromNs) / 1e9;
    const double fps = seconds > 0 ? static_cast<double>(m_frames) / seconds : 0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "{\"frames\": %lld, \"fps\": %.2f, \"timed\": %zu, \"p50\": %.3f, "
                  "\"p95\": %.3f, \"p99\": %.3f, \"unmarked\": %lld, \"unmatched\": %lld}",
                  static_cast<long long>(m_frames), fps, m_latenciesMs.size(),
                  FrameStats::Percentile(m_latenciesMs, 50),
                  FrameStats::Percentile(m_latenciesMs, 95),
                  FrameStats::Percentile(m_latenciesMs, 99), static_cast<long long>(m_unmarked),
                  static_cast<long long>(m_unmatched));
    return text;
}

} // namespace cvl::bench
