// The capture side of the source element: a thread of its own that owns the
// CVLClient, calls GetFrame far more often than the camera delivers (so the
// client's short queue never fills and a new frame is seen within a few
// milliseconds), keeps only the newest distinct frame, and watches the
// service: when no distinct frame has come for 5 s it checks whether the
// request port answers, hands out the busy status frame while it does not,
// and asks for the stream again once it does.
#ifndef CVL_HOSTS_GSTREAMER_FRAMECAPTURE_H
#define CVL_HOSTS_GSTREAMER_FRAMECAPTURE_H

#include "ViewStats.h"

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <memory>

class EvfFrame;

namespace cvl::gst {

using cvl::view::FrameKind;

struct CaptureSettings {
    // Read the sandbox frame files instead of a frame port.
    bool sandbox = false;
    // Ask the service for a sandbox stream first (and end it at the end).
    bool startSandbox = false;
};

// "live", "error", "busy" or "disconnected".
const char* KindName(FrameKind kind);

// One distinct frame as the capture thread published it.
struct CapturedFrame {
    std::shared_ptr<const EvfFrame> frame;
    // 1 for the first distinct frame, then one more for each; 0: none yet.
    uint64_t sequence = 0;
    FrameKind kind = FrameKind::Error;
    // Width and height from the JPEG header; 0 when it could not be read.
    int width = 0;
    int height = 0;
    // When the capture thread got it.
    std::chrono::steady_clock::time_point captured;
};

class FrameCapture {
public:
    using Clock = std::chrono::steady_clock;
    // Called on the capture thread whenever the kind of the newest frame
    // changes (live, or one of the status frames).
    using KindListener = void (*)(void* context, FrameKind kind);

    // How often the capture thread calls GetFrame, and the watchdog's times.
    static constexpr std::chrono::milliseconds kCapturePeriod{5};
    static constexpr std::chrono::milliseconds kStallTime{5000};
    static constexpr std::chrono::milliseconds kAbsentProbePeriod{1000};

    // Starts the capture thread, which creates the client and asks for the
    // stream.
    FrameCapture(const CaptureSettings& settings, KindListener listener, void* context);
    // Stops the thread, which ends the stream and destroys the client.
    ~FrameCapture();

    FrameCapture(const FrameCapture&) = delete;
    FrameCapture& operator=(const FrameCapture&) = delete;

    // Waits until a frame with a sequence above after is published, until
    // deadline, or until Interrupt(true); true with the frame in out when one
    // came.
    bool WaitNewer(uint64_t after, Clock::time_point deadline, CapturedFrame& out);
    // The newest frame; false before the first.
    bool Newest(CapturedFrame& out);
    // Makes WaitNewer return at once (true) until Interrupt(false).
    void Interrupt(bool on);

    // Whether the watchdog holds the service for absent.
    bool ServiceAbsent();

private:
    static void* Thread(void* capture);
    void Run();
    bool KeepRunning();
    void Publish(std::shared_ptr<const EvfFrame> frame, FrameKind kind);

    CaptureSettings m_settings;
    KindListener m_listener;
    void* m_context;
    pthread_t m_thread;

    // Guards everything below and is the lock of m_changed.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_changed;
    bool m_keepRunning = true;
    bool m_interrupted = false;
    bool m_serviceAbsent = false;
    CapturedFrame m_newest;
};

} // namespace cvl::gst

#endif
