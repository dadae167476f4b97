// The node's source of pictures: the process's shared client stream, held
// only while the node wants it. A thread of its own joins and leaves the
// stream, so that requests to a hanging service never stall the PipeWire
// loop, and wakes the loop for every new frame.
#ifndef CVL_HOSTS_PIPEWIRE_FRAMEFEED_H
#define CVL_HOSTS_PIPEWIRE_FRAMEFEED_H

#include "cvlhost/SharedStream.h"

#include <pthread.h>

#include <cstdint>
#include <memory>

namespace cvl::camera {

using cvl::host::CapturedFrame;
using cvl::host::FrameKind;
using cvl::host::StreamState;

struct FeedFrame {
    // Empty before the first frame of a stream.
    CapturedFrame captured;
    StreamState state = StreamState::Waiting;
};

class FrameFeed {
public:
    // wake is called on the feed's thread after every new frame and change
    // of state.
    using Wake = void (*)(void* context);

    FrameFeed(Wake wake, void* context);
    // As Shutdown.
    ~FrameFeed();
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // Joins the service's stream (true) or leaves it (false); returns at
    // once, the feed's thread does it.
    void SetWanted(bool wanted);
    // The newest frame and the stream's state; Waiting without a frame while
    // no stream is held.
    FeedFrame Newest();
    // Leaves the stream and ends the thread: no wake call comes after it
    // returns.
    void Shutdown();

private:
    static void* Thread(void* feed);
    void Run();
    // Drops the feed's hold on stream and waits until no reader holds it,
    // so that leaving (which may wait for the service) happens here.
    static void Release(std::shared_ptr<cvl::host::SharedStream>& stream);

    Wake m_wake;
    void* m_context;
    pthread_t m_thread;
    bool m_joined = false; // touched only by the owner's thread

    // Guards everything below.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_changed = PTHREAD_COND_INITIALIZER;
    bool m_keepRunning = true;
    bool m_wanted = false;
    std::shared_ptr<cvl::host::SharedStream> m_stream;
};

} // namespace cvl::camera

#endif
