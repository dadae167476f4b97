// The node's source of pictures: one client stream from the service, held
// only while the node wants it, with the newest distinct frame and why there
// is no live picture when there is none. Runs on a thread of its own so that
// requests to a hanging service never stall the PipeWire loop.
#ifndef CVL_HOSTS_PIPEWIRE_FRAMEFEED_H
#define CVL_HOSTS_PIPEWIRE_FRAMEFEED_H

#include <pthread.h>

#include <cstdint>
#include <memory>

class EvfFrame;

namespace cvl::camera {

enum class FeedState { Live, Waiting, Busy, NoCamera, ServiceNotRunning };

const char* FeedStateName(FeedState state);

struct FeedFrame {
    // The JPEG; for a state other than Live, the matching status picture.
    std::shared_ptr<const EvfFrame> frame;
    // One more for every distinct frame or change of state; 0: nothing yet.
    uint64_t sequence = 0;
    FeedState state = FeedState::Waiting;
};

class FrameFeed {
public:
    // wake is called on the feed's thread after every new frame.
    using Wake = void (*)(void* context);

    FrameFeed(Wake wake, void* context);
    // Ends a stream that still runs.
    ~FrameFeed();
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // Asks for the service's stream (true) or ends it (false); returns at
    // once, the feed's thread sends the requests.
    void SetWanted(bool wanted);
    bool Newest(FeedFrame& out);
    // Ends the stream and the thread: no wake call comes after it returns.
    void Shutdown();

private:
    static void* Thread(void* feed);
    void Run();
    void Publish(std::shared_ptr<const EvfFrame> frame, FeedState state);

    Wake m_wake;
    void* m_context;
    pthread_t m_thread;
    bool m_joined = false; // touched only by the owner's thread

    // Guards everything below.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_changed = PTHREAD_COND_INITIALIZER;
    bool m_keepRunning = true;
    bool m_wanted = false;
    FeedFrame m_newest;
};

} // namespace cvl::camera

#endif
