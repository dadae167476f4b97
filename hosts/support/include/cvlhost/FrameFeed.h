// A host's source of pictures: the process's shared client stream, held
// only while the host wants it (and for a linger time after, when asked). A
// thread of its own joins and leaves the stream, so that requests to a
// hanging service never stall the host's own threads (the PipeWire loop,
// OBS's render and UI threads), and calls the host for every new frame.
#ifndef CVLHOST_FRAMEFEED_H
#define CVLHOST_FRAMEFEED_H

#include "cvlhost/SharedStream.h"

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <memory>

namespace cvl::host {

struct FeedFrame {
    // Empty before the first frame of a stream.
    CapturedFrame captured;
    StreamState state = StreamState::Waiting;
};

// What a host shows for the newest frame: Live for the live frame, else the
// status picture that says why there is none. Never a frozen frame: while
// live frames stopped (waiting, no service) it is the waiting picture.
FrameKind ShownKind(const FeedFrame& newest);

class FrameFeed {
public:
    // wake is called on the feed's thread after every new frame and change
    // of state, and when the stream is wanted again.
    using Wake = void (*)(void* context);

    FrameFeed(Wake wake, void* context);
    // As Shutdown.
    ~FrameFeed();
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // False when the feed's thread could not be started: it never holds a
    // stream then.
    bool Started() const { return m_started; }

    // Joins the service's stream (true) or leaves it (false), after linger
    // unless wanted again by then; returns at once, the feed's thread does
    // it.
    void SetWanted(bool wanted, std::chrono::milliseconds linger = std::chrono::milliseconds(0));
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
    static void Release(std::shared_ptr<SharedStream>& stream);

    Wake m_wake;
    void* m_context;
    pthread_t m_thread;
    bool m_started = false;
    bool m_joined = false; // touched only by the owner's thread

    // Guards everything below.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_changed = PTHREAD_COND_INITIALIZER;
    bool m_keepRunning = true;
    bool m_wanted = false;
    bool m_poke = false;
    // While not wanted: when the held stream is left.
    std::chrono::steady_clock::time_point m_leaveAt;
    std::shared_ptr<SharedStream> m_stream;
};

} // namespace cvl::host

#endif
