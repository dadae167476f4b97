#include "FrameWatch.h"

#include "CVLClient.h"

#include <algorithm>
#include <memory>
#include <thread>

namespace cvl::test {

namespace {

constexpr std::chrono::milliseconds kCallPeriod(10);

FrameKind Take(CVLClient& client, std::vector<uint64_t>* sequences) {
    std::unique_ptr<EvfFrame> frame(client.GetFrame());
    const FrameKind kind = KindOf(*frame);
    uint64_t sequence = 0;
    if (sequences && kind == FrameKind::Live && FrameSequence(*frame, sequence))
        sequences->push_back(sequence);
    return kind;
}

} // namespace

int WatchedFrames::Count(FrameKind kind) const {
    return static_cast<int>(std::count(kinds.begin(), kinds.end(), kind));
}

int WatchedFrames::UniqueLive() const {
    int unique = 0;
    for (size_t i = 0; i < liveSequences.size(); ++i)
        unique += i == 0 || liveSequences[i] != liveSequences[i - 1];
    return unique;
}

bool WatchedFrames::SequencesRise() const {
    for (size_t i = 1; i < liveSequences.size(); ++i)
        if (liveSequences[i] < liveSequences[i - 1])
            return false;
    return true;
}

WatchedFrames Watch(CVLClient& client, std::chrono::milliseconds duration) {
    WatchedFrames watched;
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        watched.kinds.push_back(Take(client, &watched.liveSequences));
        std::this_thread::sleep_for(kCallPeriod);
    }
    return watched;
}

WatchedFrames WatchUntil(CVLClient& client, int uniqueLive, std::chrono::milliseconds timeout) {
    WatchedFrames watched;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (watched.UniqueLive() < uniqueLive && std::chrono::steady_clock::now() < end) {
        watched.kinds.push_back(Take(client, &watched.liveSequences));
        std::this_thread::sleep_for(kCallPeriod);
    }
    return watched;
}

bool WaitForFrame(CVLClient& client, FrameKind kind, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (Take(client, nullptr) == kind)
            return true;
        std::this_thread::sleep_for(kCallPeriod);
    }
    return false;
}

bool StartLiveStream(ServiceProcess& service, CVLClient& client, const ServiceOptions& options) {
    if (!service.Start(options))
        return false;
    client.StartStreaming();
    return WaitForFrame(client, FrameKind::Live);
}

} // namespace cvl::test
