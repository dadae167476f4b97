#include "FrameFeed.h"

#include "CVLClient.h"
#include "EvfFrame.h"
#include "StockFrames.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace cvl::camera {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPollPeriod{5};
constexpr std::chrono::milliseconds kStallTime{5000};
constexpr std::chrono::milliseconds kProbePeriod{1000};

bool SameBytes(const EvfFrame& a, const EvfFrame& b) {
    return a.GetBufSize() == b.GetBufSize() &&
           (a.GetBufSize() <= 0 ||
            std::memcmp(a.GetBuf(), b.GetBuf(), static_cast<size_t>(a.GetBufSize())) == 0);
}

FeedState StateOf(cvl::view::FrameKind kind) {
    switch (kind) {
    case cvl::view::FrameKind::Live:
        return FeedState::Live;
    case cvl::view::FrameKind::Busy:
        return FeedState::Busy;
    case cvl::view::FrameKind::Disconnected:
        return FeedState::NoCamera;
    case cvl::view::FrameKind::Error:
        return FeedState::Waiting;
    }
    return FeedState::Waiting;
}

} // namespace

const char* FeedStateName(FeedState state) {
    switch (state) {
    case FeedState::Live:
        return "live";
    case FeedState::Waiting:
        return "waiting for frames";
    case FeedState::Busy:
        return "camera in use by another program";
    case FeedState::NoCamera:
        return "no camera";
    case FeedState::ServiceNotRunning:
        return "service not running";
    }
    return "unknown";
}

FrameFeed::FrameFeed(Wake wake, void* context) : m_wake(wake), m_context(context) {
    pthread_create(&m_thread, nullptr, &FrameFeed::Thread, this);
}

FrameFeed::~FrameFeed() {
    Shutdown();
}

void FrameFeed::Shutdown() {
    if (m_joined)
        return;
    m_joined = true;
    pthread_mutex_lock(&m_mutex);
    m_keepRunning = false;
    pthread_cond_broadcast(&m_changed);
    pthread_mutex_unlock(&m_mutex);
    pthread_join(m_thread, nullptr);
}

void FrameFeed::SetWanted(bool wanted) {
    pthread_mutex_lock(&m_mutex);
    m_wanted = wanted;
    pthread_cond_broadcast(&m_changed);
    pthread_mutex_unlock(&m_mutex);
}

bool FrameFeed::Newest(FeedFrame& out) {
    pthread_mutex_lock(&m_mutex);
    const bool have = m_newest.sequence > 0;
    if (have)
        out = m_newest;
    pthread_mutex_unlock(&m_mutex);
    return have;
}

void* FrameFeed::Thread(void* feed) {
    static_cast<FrameFeed*>(feed)->Run();
    return nullptr;
}

void FrameFeed::Publish(std::shared_ptr<const EvfFrame> frame, FeedState state) {
    pthread_mutex_lock(&m_mutex);
    m_newest.frame = std::move(frame);
    m_newest.state = state;
    ++m_newest.sequence;
    pthread_mutex_unlock(&m_mutex);
    if (m_wake)
        m_wake(m_context);
}

void FrameFeed::Run() {
    CVLClient client;
    const cvl::view::StockFrames stock;
    bool streaming = false;
    bool absent = false;
    std::shared_ptr<const EvfFrame> last;
    auto lastDistinct = Clock::now();
    auto nextProbe = lastDistinct;

    auto statusFrame = [](FeedState state) {
        std::shared_ptr<EvfFrame> frame(new EvfFrame);
        if (state == FeedState::NoCamera)
            frame->LoadDisconnectedFrame();
        else if (state == FeedState::Waiting)
            frame->LoadErrorFrame();
        else
            frame->LoadBusyFrame();
        return std::shared_ptr<const EvfFrame>(frame);
    };

    for (;;) {
        pthread_mutex_lock(&m_mutex);
        while (m_keepRunning && !m_wanted && !streaming)
            pthread_cond_wait(&m_changed, &m_mutex);
        const bool keepRunning = m_keepRunning;
        const bool wanted = m_wanted && keepRunning;
        pthread_mutex_unlock(&m_mutex);

        if (wanted && !streaming) {
            client.StartStreaming();
            streaming = true;
            absent = false;
            last.reset();
            lastDistinct = Clock::now();
            Publish(statusFrame(FeedState::Waiting), FeedState::Waiting);
        } else if (!wanted && streaming) {
            client.StopStreaming();
            streaming = false;
        }
        if (!keepRunning)
            break;
        if (!streaming)
            continue;

        std::shared_ptr<const EvfFrame> frame(client.GetFrame());
        const auto now = Clock::now();
        if (!absent && frame->GetBuf() && frame->GetBufSize() > 0 &&
            (!last || !SameBytes(*frame, *last))) {
            last = frame;
            lastDistinct = now;
            Publish(frame, StateOf(stock.Kind(*frame)));
        }
        if (now - lastDistinct >= kStallTime && now >= nextProbe) {
            if (client.SendRequest("StartStreaming")) {
                if (absent) {
                    absent = false;
                    last.reset();
                }
                lastDistinct = Clock::now();
            } else if (!absent) {
                absent = true;
                client.ClearQueue();
                Publish(statusFrame(FeedState::ServiceNotRunning), FeedState::ServiceNotRunning);
            }
            nextProbe = Clock::now() + kProbePeriod;
        }
        std::this_thread::sleep_for(kPollPeriod);
    }
}

} // namespace cvl::camera
