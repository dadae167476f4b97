#include "FrameFeed.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace cvl::camera {

namespace {

// How long one wait for a new frame lasts before the feed looks at what the
// node wants again.
constexpr std::chrono::milliseconds kWaitSlice{100};

} // namespace

FrameFeed::FrameFeed(Wake wake, void* context) : m_wake(wake), m_context(context) {
    // Without its thread the feed holds no stream: the node shows the
    // waiting picture, and the reason is said once.
    const int error = pthread_create(&m_thread, nullptr, &FrameFeed::Thread, this);
    if (error != 0) {
        m_joined = true;
        std::fprintf(stderr, "cvl-camera: cannot start the frame feed thread: %s\n",
                     std::strerror(error));
    }
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

FeedFrame FrameFeed::Newest() {
    pthread_mutex_lock(&m_mutex);
    std::shared_ptr<cvl::host::SharedStream> stream = m_stream;
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

void FrameFeed::Release(std::shared_ptr<cvl::host::SharedStream>& stream) {
    // A reader copies the pointer for the moment of one look.
    while (stream && stream.use_count() > 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stream.reset();
}

void FrameFeed::Run() {
    std::shared_ptr<cvl::host::SharedStream> held;
    uint64_t seen = 0;
    StreamState state = StreamState::Waiting;
    for (;;) {
        pthread_mutex_lock(&m_mutex);
        while (m_keepRunning && !m_wanted && !held)
            pthread_cond_wait(&m_changed, &m_mutex);
        const bool wanted = m_wanted && m_keepRunning;
        if (wanted && !held) {
            held = std::make_shared<cvl::host::SharedStream>();
            m_stream = held;
            seen = 0;
            state = StreamState::Waiting;
        } else if (!wanted && held) {
            m_stream.reset();
        }
        const bool keepRunning = m_keepRunning;
        pthread_mutex_unlock(&m_mutex);

        if (!wanted && held) {
            Release(held);
            if (m_wake)
                m_wake(m_context);
        }
        if (!keepRunning)
            break;
        if (!held)
            continue;

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

} // namespace cvl::camera
