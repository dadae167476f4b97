#include "FrameReceiver.h"

#include "FrameTransport.h"
#include "SuccessReply.h"

#include <ctime>
#include <utility>

FrameReceiver* g_pFrameReceiver = nullptr;

namespace {

// Guards g_pFrameReceiver, and is held by the port callback while it hands a
// frame to that receiver, so a receiver being destroyed is never written to.
// Taken before any lock of a receiver.
pthread_mutex_t g_receiverMutex = PTHREAD_MUTEX_INITIALIZER;

// At most 5000 whole milliseconds without a frame give the error frame.
constexpr std::chrono::nanoseconds kErrorFramePeriod(5001000000LL);
constexpr size_t kMaxQueuedFrames = 3;
// How often Stop repeats its request to stop the receiving thread's run loop.
constexpr long kStopRetryNs = 10 * 1000 * 1000;

class Lock {
public:
    explicit Lock(pthread_mutex_t& mutex) : m_mutex(mutex) { pthread_mutex_lock(&m_mutex); }
    ~Lock() { pthread_mutex_unlock(&m_mutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pthread_mutex_t& m_mutex;
};

} // namespace

FrameReceiver::FrameReceiver()
    : m_thread(), m_runLoop(nullptr), m_frontFrameCounted(false), m_numUniqueFramesRcvd(0),
      m_lastFrameTime(std::chrono::steady_clock::now()), m_threadRunning(false),
      m_stopRequested(false), m_threadFinished(false), m_portSettled(false) {
    Lock lock(g_receiverMutex);
    g_pFrameReceiver = this;
}

FrameReceiver::~FrameReceiver() {
    {
        Lock lock(g_receiverMutex);
        if (g_pFrameReceiver == this)
            g_pFrameReceiver = nullptr;
    }
    Stop();
}

void FrameReceiver::SetPortAddress(std::string address) {
    m_portAddress = std::move(address);
}

CFStringRef FrameReceiver::GetPortAddress() {
    return CFStringCreateWithCString(kCFAllocatorDefault, m_portAddress.c_str(),
                                     kCFStringEncodingMacRoman);
}

void FrameReceiver::Start() {
    {
        Lock lock(m_queueMutex);
        m_lastFrameTime = std::chrono::steady_clock::now();
    }
    Lock lock(m_stateMutex);
    if (m_threadRunning)
        return;
    m_stopRequested = false;
    m_threadFinished = false;
    m_portSettled = false;
    m_runLoop = nullptr;
    if (pthread_create(&m_thread, nullptr, &FrameReceiver::Thread, this) != 0)
        return;
    m_threadRunning = true;
    while (!m_portSettled)
        pthread_cond_wait(&m_stateChanged, &m_stateMutex);
}

void FrameReceiver::Stop() {
    bool join = false;
    {
        Lock lock(m_stateMutex);
        if (m_threadRunning) {
            m_stopRequested = true;
            // The thread may not have reached its run loop yet, so the stop is
            // repeated until the thread reports that it has left for good.
            while (!m_threadFinished) {
                if (m_runLoop)
                    CFRunLoopStop(m_runLoop);
                timespec deadline;
                clock_gettime(CLOCK_REALTIME, &deadline);
                deadline.tv_nsec += kStopRetryNs;
                if (deadline.tv_nsec >= 1000000000L) {
                    deadline.tv_nsec -= 1000000000L;
                    ++deadline.tv_sec;
                }
                pthread_cond_timedwait(&m_stateChanged, &m_stateMutex, &deadline);
            }
            join = true;
        }
    }
    if (join) {
        pthread_join(m_thread, nullptr);
        Lock lock(m_stateMutex);
        m_threadRunning = false;
        m_stopRequested = false;
        m_threadFinished = false;
    }
    ClearQueue();
}

void* FrameReceiver::Thread(void* receiver) {
    static_cast<FrameReceiver*>(receiver)->ServePort();
    return nullptr;
}

bool FrameReceiver::StopRequested() {
    Lock lock(m_stateMutex);
    return m_stopRequested;
}

void FrameReceiver::ServePort() {
    CFStringRef name = GetPortAddress();
    CFMessagePortRef port =
        name ? CFMessagePortCreateLocal(kCFAllocatorDefault, name, &FrameReceiver::Callback,
                                        nullptr, nullptr)
             : nullptr;
    if (name)
        CFRelease(name);

    // Without a port (the name is taken, say) no frame can arrive: the thread
    // ends at once and the consumer gets status frames.
    CFRunLoopSourceRef source =
        port ? CFMessagePortCreateRunLoopSource(kCFAllocatorDefault, port, 0) : nullptr;
    if (source) {
        CFRunLoopRef runLoop = CFRunLoopGetCurrent();
        CFRunLoopAddSource(runLoop, source, kCFRunLoopDefaultMode);
        {
            Lock lock(m_stateMutex);
            m_runLoop = runLoop;
            m_portSettled = true;
            pthread_cond_broadcast(&m_stateChanged);
        }
        while (!StopRequested())
            CFRunLoopRun();
        CFRunLoopRemoveSource(runLoop, source, kCFRunLoopDefaultMode);
        CFRelease(source);
    }
    if (port) {
        CFMessagePortInvalidate(port);
        CFRelease(port);
    }

    Lock lock(m_stateMutex);
    m_runLoop = nullptr;
    m_portSettled = true;
    m_threadFinished = true;
    pthread_cond_broadcast(&m_stateChanged);
}

void FrameReceiver::ClearQueue() {
    Lock lock(m_queueMutex);
    while (!m_frameQueue.empty()) {
        delete m_frameQueue.front();
        m_frameQueue.pop_front();
    }
}

void FrameReceiver::SetRunLoop(CFRunLoopRef runLoop) {
    Lock lock(m_stateMutex);
    m_runLoop = runLoop;
}

void FrameReceiver::AddFrame(const unsigned char* bytes, int32_t length) {
    Lock lock(m_queueMutex);
    if (m_frameQueue.size() < kMaxQueuedFrames) {
        EvfFrame* frame = new EvfFrame;
        frame->LoadFrame(bytes, length);
        m_frameQueue.push_back(frame);
    }
    m_lastFrameTime = std::chrono::steady_clock::now();
}

EvfFrame* FrameReceiver::GetFrame() {
    enum class Status { None, Error, Busy } status = Status::None;
    EvfFrame* frame = nullptr;
    {
        Lock lock(m_queueMutex);
        if (m_frameQueue.empty()) {
            const auto quiet = std::chrono::steady_clock::now() - m_lastFrameTime;
            status = quiet < kErrorFramePeriod ? Status::Error : Status::Busy;
        } else if (m_frameQueue.size() == 1) {
            if (!m_frontFrameCounted) {
                IncrNumUniqueFramesRcvd();
                m_frontFrameCounted = true;
            }
            frame = new EvfFrame;
            frame->LoadDuplicate(*m_frameQueue.front());
        } else {
            if (!m_frontFrameCounted)
                IncrNumUniqueFramesRcvd();
            m_frontFrameCounted = false;
            frame = m_frameQueue.front();
            m_frameQueue.pop_front();
        }
    }
    // The status frame files are read outside the queue lock, so a slow disk
    // never holds up the port callback.
    if (status != Status::None) {
        frame = new EvfFrame;
        if (status == Status::Error)
            frame->LoadErrorFrame();
        else
            frame->LoadBusyFrame();
    }
    return frame;
}

void FrameReceiver::IncrNumUniqueFramesRcvd() {
    Lock lock(m_numUniqueFramesMutex);
    ++m_numUniqueFramesRcvd;
}

int32_t FrameReceiver::GetNumUniqueFramesRcvd() {
    Lock lock(m_numUniqueFramesMutex);
    return m_numUniqueFramesRcvd;
}

void FrameReceiver::ResetNumUniqueFramesRcvd() {
    Lock queueLock(m_queueMutex);
    Lock counterLock(m_numUniqueFramesMutex);
    m_numUniqueFramesRcvd = 0;
    m_frontFrameCounted = false;
}

CFDataRef FrameReceiver::Callback(CFMessagePortRef, SInt32, CFDataRef data, void*) {
    const unsigned char* frame = nullptr;
    int32_t length = 0;
    // A message that does not hold a whole frame is dropped, not read past.
    if (data && ParseFrameMessage(data, &frame, &length)) {
        Lock lock(g_receiverMutex);
        if (g_pFrameReceiver)
            g_pFrameReceiver->AddFrame(frame, length);
    }
    return CreateSuccessReply();
}
