// Delivers the frames of one client stream from a short queue (at most 3) on a
// worker thread of its own: as frame messages to the client's frame port, or,
// in sandbox mode, as sandbox frame files. A failed delivery to the port
// marks the sender failed for good; its owner polls GetSendFailed.
#ifndef CVL_SERVICE_FRAMESENDER_H
#define CVL_SERVICE_FRAMESENDER_H

#include "EvfFrame.h"

#include <CoreFoundation/CoreFoundation.h>

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

class FrameSender {
public:
    explicit FrameSender(std::string id);
    ~FrameSender();

    FrameSender(const FrameSender&) = delete;
    FrameSender& operator=(const FrameSender&) = delete;

    // Queues a copy of the bytes unless 3 frames are waiting; never blocks on
    // the delivery.
    void AddFrame(const unsigned char* bytes, int32_t length);
    // The oldest queued frame, or null; the caller owns it.
    EvfFrame* GetFrame();
    void ClearQueue();

    // One frame to the frame port; false when nothing was delivered.
    bool SendFrame();
    // One frame to the given slot's file; false when none was written.
    bool WriteFrame(int frameNumber, int slot);

    bool GetSendFailed();
    void SetSendFailed(bool failed);
    void Activate(bool activate);
    bool Activated();
    void KeepRunning(bool keepRunning);
    bool KeepRunning();
    std::string GetId() const { return m_id; }
    void EnableSandboxMode(bool enable) { m_sandboxMode = enable; }
    bool EnableSandboxMode() const { return m_sandboxMode; }

    static void* Thread(void* sender);

    static int Count();
    static int NumActivated();
    static void IncrementCount();
    static void DecrementCount();
    static void IncrementNumActivated();
    static void DecrementNumActivated();

private:
    static constexpr size_t kMaxQueuedFrames = 3;
    static constexpr unsigned kIdleMicroseconds = 10000;

    const std::string m_id;
    CFStringRef m_portName = nullptr;
    pthread_t m_thread;
    bool m_threadStarted = false;
    bool m_keepRunning = false;
    pthread_mutex_t m_keepRunningMutex = PTHREAD_MUTEX_INITIALIZER;
    std::deque<EvfFrame*> m_frameQueue;
    pthread_mutex_t m_frameQueueMutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_sendFailed = false;
    pthread_mutex_t m_sendFailedMutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_activated = false;
    pthread_mutex_t m_activatedMutex = PTHREAD_MUTEX_INITIALIZER;
    CFMessagePortRef m_remotePort = nullptr; // used by the worker thread only
    std::atomic<bool> m_sandboxMode{false};

    static int32_t m_count;
    static pthread_mutex_t m_countMutex;
    static int32_t m_numActivated;
    static pthread_mutex_t m_numActivatedMutex;
};

#endif
