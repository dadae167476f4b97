#include "cvlhost/FrameFeed.h"

#include <chrono>
#include <thread>

namespace cvl::host {

namespace {

// How long one wait for a new frame lasts before the feed looks at what the
// node wants again.
constexpr std::chrono::milliseconds kWaitSlice{100};

} // namespace

FrameKind ShownKind(const FeedFrame& newest) {
    switch (newest.state) {
    case StreamState::Live:
        // The service's own status pictures come as frames too.
        return newest.captured.frame ? newest.captured.kind : FrameKind::Error;
    case StreamState::CameraBusy:
        return FrameKind::Busy;
    case StreamState::NoCamera:
        return FrameKind::Disconnected;
    case StreamState::Waiting:
    case StreamState::ServiceNotRunning:
        break;
    }
    return FrameKind::Error;
}

FrameFeed::FrameFeed(Wake wake, void* context) : m_wake(wake), m_context(context) {
    // Without its thread the feed holds no stream: the host shows the
    // waiting picture and says why (Started).
    m_started = pthread_create(&m_thread, nullptr, &FrameFeed::Thread, this) == 0;
    m_joined = !m_started;
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

void FrameFeed::SetWanted(bool wanted, std::chrono::milliseconds linger) {
    pthread_mutex_lock(&m_mutex);
    if (!wanted && m_wanted)
        m_leaveAt = std::chrono::steady_clock::now() + linger;
    // Wanted again: the host hears of the newest picture at once, even when
    // nothing changes in a held stream.
    if (wanted && !m_wanted)
        m_poke = true;
    m_wanted = wanted;
    pthread_cond_broadcast(&m_changed);
    pthread_mutex_unlock(&m_mutex);
}

FeedFrame FrameFeed::Newest() {
    pthread_mutex_lock(&m_mutex);
    std::shared_ptr<SharedStream> stream = m_stream;
    pthread_mutex_unlock(&m_mutex);
    FeedFrame newest;
    if (stream) {
        stream->Newest(newest.captured);
        newest.state = stream->State();
    }
    return newest;
}

void* FrameFeed::Thread(void* feed) {
    static_cast<FrameFeed*>(feed)->Run();
    return nullptr;
}

void FrameFeed::Release(std::shared_ptr<SharedStream>& stream) {
    // A reader copies the pointer for the moment of one look.
    while (stream && stream.use_count() > 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stream.reset();
}

void FrameFeed::Run() {
    std::shared_ptr<SharedStream> held;
    uint64_t seen = 0;
    StreamState state = StreamState::Waiting;
    for (;;) {
        pthread_mutex_lock(&m_mutex);
        while (m_keepRunning && !m_wanted && !held)
            pthread_cond_wait(&m_changed, &m_mutex);
        const bool wanted =
            m_keepRunning && (m_wanted || (held && std::chrono::steady_clock::now() < m_leaveAt));
        if (!wanted && held)
            m_stream.reset();
        const bool keepRunning = m_keepRunning;
        const bool poke = m_poke;
        m_poke = false;
        pthread_mutex_unlock(&m_mutex);

        if (wanted && !held) {
            // Joined outside the lock: joining waits while another holder in
            // the process ends the stream before (which may wait for a
            // hanging service), and the host's threads must not wait for
            // that in SetWanted or Newest.
            held = std::make_shared<SharedStream>();
            pthread_mutex_lock(&m_mutex);
            m_stream = held;
            pthread_mutex_unlock(&m_mutex);
            seen = 0;
            state = StreamState::Waiting;
        }

        if (!wanted && held) {
            Release(held);
            if (m_wake)
                m_wake(m_context);
        }
        if (!keepRunning)
            break;
        if (!held)
            continue;
        if (poke && m_wake)
            m_wake(m_context);

        CapturedFrame frame;
        const bool fresh =
            held->WaitNewer(seen, std::chrono::steady_clock::now() + kWaitSlice, frame);
        const StreamState now = held->State();
        if (fresh)
            seen = frame.sequence;
        if ((fresh || now != state) && m_wake)
            m_wake(m_context);
        state = now;
    }
}

} // namespace cvl::host
