// The newest-frame capture: a thread of its own owns the CVLClient, calls
// GetFrame far more often than the camera delivers (so the client's short
// queue never fills and a new frame is seen within a few milliseconds) and
// keeps only the newest distinct frame, so that no host pays the queue's
// extra latency. A StreamWatch on the same thread tells why there is no live
// picture and asks for the stream again when frames stop; when the service
// comes back the stream resumes by itself. A live picture that stopped
// changing is shown for frozenAfter at most (WatchTiming), then the waiting
// picture until live frames come again.
//
// A process can hold one CVLClient only (the frame port is named after the
// process), so hosts do not make captures themselves: they share the
// process's one capture through SharedStream.
//
// The service serves one client stream, so the host processes of one user
// and installation share it too: in port mode the first capture to start
// owns the stream and relays what it shows to the others (RelayServer); the
// others read it from the relay (RelayReader), and one of them takes over
// when the owner ends or dies.
#ifndef CVLHOST_FRAMECAPTURE_H
#define CVLHOST_FRAMECAPTURE_H

#include "cvlhost/FrameKind.h"
#include "cvlhost/JpegHeader.h"
#include "cvlhost/StreamState.h"
#include "cvlhost/StreamWatch.h"

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class EvfFrame;

namespace cvl::host {

class RelayReader;
class RelayServer;

struct CaptureSettings {
    // Read the sandbox frame files instead of a frame port.
    bool sandbox = false;
    // Ask the service for a sandbox stream first (and end it at the end).
    bool startSandbox = false;

    bool operator==(const CaptureSettings& other) const {
        return sandbox == other.sandbox && startSandbox == other.startSandbox;
    }
    bool operator!=(const CaptureSettings& other) const { return !(*this == other); }
};

// One distinct frame as the capture thread published it.
struct CapturedFrame {
    std::shared_ptr<const EvfFrame> frame;
    // 1 for the first distinct frame, then one more for each; 0: none yet.
    uint64_t sequence = 0;
    FrameKind kind = FrameKind::Error;
    // From the JPEG's frame header; width and height 0 when it could not be read.
    int width = 0;
    int height = 0;
    JpegSampling sampling = JpegSampling::Unknown;
    // When the capture thread got it.
    std::chrono::steady_clock::time_point captured;
};

class FrameCapture {
public:
    using Clock = std::chrono::steady_clock;
    // Called on the capture thread whenever the kind of the newest frame or
    // the stream's state changes. It must not create or end a SharedStream.
    using Listener = std::function<void(FrameKind kind, StreamState state)>;

    // How often the capture thread calls GetFrame.
    static constexpr std::chrono::milliseconds kCapturePeriod{5};

    // One waiting reader's interruption flag (guarded by the capture's lock).
    struct Waiter {
        bool interrupted = false;
    };

    // Starts the capture thread, which creates the client and asks for the
    // stream. timing: the watch's times.
    explicit FrameCapture(const CaptureSettings& settings,
                          StreamWatch::Timing timing = StreamWatch::Timing());
    // Stops the thread, which ends the stream and destroys the client.
    ~FrameCapture();

    FrameCapture(const FrameCapture&) = delete;
    FrameCapture& operator=(const FrameCapture&) = delete;

    const CaptureSettings& Settings() const { return m_settings; }

    // Waits until a frame with a sequence above after is published, until
    // deadline, or until waiter is interrupted; true with the frame in out
    // when one came.
    bool WaitNewer(uint64_t after, Clock::time_point deadline, CapturedFrame& out,
                   const Waiter& waiter);
    // The newest frame; false before the first.
    bool Newest(CapturedFrame& out);
    // Makes waiter's WaitNewer calls return at once (false) until cleared.
    void Interrupt(Waiter& waiter, bool on);

    StreamState State();
    FrameKind Kind();

    // Adds a listener and returns its number for RemoveListener; a listener
    // added after the first frame is called once at once with the present
    // kind and state.
    int AddListener(Listener listener);
    // After it returns the listener is not running and is never called again.
    void RemoveListener(int id);

private:
    static void* Thread(void* capture);
    void Run();
    // Streams from the service; with a server, relays what it shows. After
    // a takeover the readers' last frame stands until live frames come.
    void RunClient(RelayServer* server, bool takeover);
    // Shows what the owner relays until the connection ends or stopping.
    void RunReader(RelayReader& reader);
    bool KeepRunning();
    void Publish(std::shared_ptr<const EvfFrame> frame, FrameKind kind);
    void SetState(StreamState state);
    void Notify();

    CaptureSettings m_settings;
    StreamWatch::Timing m_timing;
    pthread_t m_thread;
    bool m_threadStarted = false;

    // Guards everything below it up to m_listenerMutex; the lock of m_changed.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_changed;
    bool m_keepRunning = true;
    CapturedFrame m_newest;
    StreamState m_state = StreamState::Waiting;

    // Held while listeners run, and while the list changes; never together
    // with m_mutex.
    pthread_mutex_t m_listenerMutex = PTHREAD_MUTEX_INITIALIZER;
    std::vector<std::pair<int, Listener>> m_listeners;
    int m_nextListener = 1;
    bool m_notified = false; // the listeners know of a frame
    FrameKind m_toldKind = FrameKind::Error;
    StreamState m_toldState = StreamState::Waiting;
};

} // namespace cvl::host

#endif
