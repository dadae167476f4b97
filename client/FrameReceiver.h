// The client-side end of the frame transport: serves the client's frame port
// on a thread of its own, keeps the last few frames that arrived and hands them
// to the consumer one at a time. With nothing newer it hands out a copy of the
// newest frame again; with nothing at all a stock status frame. It also counts
// the distinct frames it hands out.
//
// A process holds one frame receiver: the port callback delivers every frame
// to the receiver constructed last (g_pFrameReceiver).
#ifndef CVL_CLIENT_FRAMERECEIVER_H
#define CVL_CLIENT_FRAMERECEIVER_H

#include "EvfFrame.h"

#include <CoreFoundation/CoreFoundation.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <pthread.h>
#include <string>

class FrameReceiver {
public:
    FrameReceiver();
    // Stops a receiving thread that still runs, then destroys the queued frames.
    ~FrameReceiver();

    FrameReceiver(const FrameReceiver&) = delete;
    FrameReceiver& operator=(const FrameReceiver&) = delete;

    // The name of the frame port; set before Start.
    void SetPortAddress(std::string address);
    // A new string (Mac Roman) holding the port name; the caller releases it.
    CFStringRef GetPortAddress();

    // Restarts the status-frame clock and starts the receiving thread, which
    // creates the frame port; returns once the port exists (or could not be
    // created), so a request sent next never reaches the service before the
    // port does. While a thread already runs only the clock is restarted.
    void Start();
    // Stops and joins the receiving thread (the port goes with it), then
    // destroys every queued frame. Safe right after Start and without Start.
    void Stop();
    static void* Thread(void* receiver);
    void ClearQueue();
    void SetRunLoop(CFRunLoopRef runLoop);

    // Queues a copy of length bytes unless 3 frames are queued already; either
    // way the arrival time is refreshed.
    void AddFrame(const unsigned char* bytes, int32_t length);
    // The next frame to show, owned by the caller and never null: the oldest
    // queued frame, a copy of the only one, or a status frame (error for the
    // first 5000 ms without frames, busy after).
    EvfFrame* GetFrame();

    void IncrNumUniqueFramesRcvd();
    int32_t GetNumUniqueFramesRcvd();
    void ResetNumUniqueFramesRcvd();

    // Takes one frame message; always replies "success".
    static CFDataRef Callback(CFMessagePortRef port, SInt32 messageId, CFDataRef data,
                              void* context);

private:
    // Receiving thread side of the start/stop hand-shake.
    void ServePort();
    bool StopRequested();

    pthread_t m_thread;
    CFRunLoopRef m_runLoop;
    std::deque<EvfFrame*> m_frameQueue;
    pthread_mutex_t m_queueMutex = PTHREAD_MUTEX_INITIALIZER;
    std::string m_portAddress;
    bool m_frontFrameCounted;
    int32_t m_numUniqueFramesRcvd;
    pthread_mutex_t m_numUniqueFramesMutex = PTHREAD_MUTEX_INITIALIZER;
    std::chrono::steady_clock::time_point m_lastFrameTime;

    // Start/stop hand-shake with the receiving thread, under m_stateMutex:
    // Stop may come before the thread has published its run loop, or before it
    // has entered it, so Stop asks the loop to stop until the thread has ended.
    pthread_mutex_t m_stateMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_stateChanged = PTHREAD_COND_INITIALIZER;
    bool m_threadRunning;  // a thread was started and not yet joined
    bool m_stopRequested;  // Stop has asked the thread to end
    bool m_threadFinished; // the thread has left its run loop for good
    bool m_portSettled;    // the thread has created its port, or failed to
};

// The frame receiver constructed last in the process; frames from the port
// go to it. Cleared when that receiver is destroyed.
extern FrameReceiver* g_pFrameReceiver;

#endif
