#include "cvlhost/FrameStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace cvl::host {

namespace {

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

void FrameStats::RecordStatus(FrameKind kind) {
    for (Counts* counts : {&m_total, &m_second}) {
        ++counts->calls;
        switch (kind) {
        case FrameKind::Error:
            ++counts->error;
            break;
        case FrameKind::Busy:
            ++counts->busy;
            break;
        case FrameKind::Disconnected:
            ++counts->disconnected;
            break;
        case FrameKind::Live:
            break;
        }
    }
}

void FrameStats::RecordLive(bool unique, const FrameStamp* stamp, int64_t nowNs) {
    int64_t gaps = 0;
    double latencyMs = -1.0;
    if (unique && stamp) {
        // A sequence number that goes backwards is a new stream (or a
        // restarted camera): it starts a new count, it is no gap.
        if (m_haveSequence && stamp->sequence > m_lastSequence + 1)
            gaps = static_cast<int64_t>(stamp->sequence - m_lastSequence - 1);
        if (!m_haveSequence)
            m_firstSequence = stamp->sequence;
        m_haveSequence = true;
        m_lastSequence = stamp->sequence;
        if (nowNs >= stamp->monotonicNs)
            latencyMs = static_cast<double>(nowNs - stamp->monotonicNs) / 1e6;
    }
    for (Counts* counts : {&m_total, &m_second}) {
        ++counts->calls;
        ++counts->live;
        if (unique)
            ++counts->unique;
        counts->seqGaps += gaps;
        if (latencyMs >= 0.0)
            counts->latenciesMs.push_back(latencyMs);
    }
}

std::string FrameStats::TakeSecondLine(int second) {
    std::string line = std::to_string(second) + " s: " + std::to_string(m_second.calls) +
                       " calls, " + std::to_string(m_second.unique) + " unique, " +
                       std::to_string(m_second.error) + " error, " + std::to_string(m_second.busy) +
                       " busy, " + std::to_string(m_second.disconnected) + " disconnected, " +
                       std::to_string(m_second.seqGaps) + " seq gaps";
    if (!m_second.latenciesMs.empty()) {
        line += ", latency p50 " + Format("%.1f", Percentile(m_second.latenciesMs, 50)) +
                " ms, max " + Format("%.1f", Percentile(m_second.latenciesMs, 100)) + " ms";
    }
    m_second = Counts();
    return line;
}

std::string FrameStats::SummaryJson(double elapsedSeconds) const {
    const double fps =
        elapsedSeconds > 0.0 ? static_cast<double>(m_total.unique) / elapsedSeconds : 0.0;
    std::string json = "{\"calls\":" + std::to_string(m_total.calls) +
                       ",\"live\":" + std::to_string(m_total.live) +
                       ",\"unique\":" + std::to_string(m_total.unique) +
                       ",\"fps\":" + Format("%.2f", fps) +
                       ",\"status\":{\"error\":" + std::to_string(m_total.error) +
                       ",\"busy\":" + std::to_string(m_total.busy) +
                       ",\"disconnected\":" + std::to_string(m_total.disconnected) + "}";
    if (m_total.latenciesMs.empty()) {
        json += ",\"latency_ms\":null";
    } else {
        json += ",\"latency_ms\":{\"p50\":" + Format("%.3f", Percentile(m_total.latenciesMs, 50)) +
                ",\"p95\":" + Format("%.3f", Percentile(m_total.latenciesMs, 95)) +
                ",\"p99\":" + Format("%.3f", Percentile(m_total.latenciesMs, 99)) +
                ",\"max\":" + Format("%.3f", Percentile(m_total.latenciesMs, 100)) + "}";
    }
    if (m_haveSequence)
        json += ",\"first_seq\":" + std::to_string(m_firstSequence) +
                ",\"last_seq\":" + std::to_string(m_lastSequence);
    else
        json += ",\"first_seq\":null,\"last_seq\":null";
    json += ",\"seq_gaps\":" + std::to_string(m_total.seqGaps) +
            ",\"seconds\":" + Format("%.3f", elapsedSeconds) + "}";
    return json;
}

double FrameStats::Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    if (index >= values.size())
        index = values.size() - 1;
    return values[index];
}

} // namespace cvl::host
