#include "FrameSender.h"

#include "FrameTransport.h"
#include "LogText.h"
#include "Logger.h"

#include <cstdio>
#include <unistd.h>

int32_t FrameSender::m_count = 0;
pthread_mutex_t FrameSender::m_countMutex = PTHREAD_MUTEX_INITIALIZER;
int32_t FrameSender::m_numActivated = 0;
pthread_mutex_t FrameSender::m_numActivatedMutex = PTHREAD_MUTEX_INITIALIZER;

FrameSender::FrameSender(std::string id) : m_id(std::move(id)), m_thread() {
    m_portName = CreateFramePortName(m_id);
    KeepRunning(true);
    m_threadStarted = pthread_create(&m_thread, nullptr, &FrameSender::Thread, this) == 0;
    IncrementCount();
    g_logger.Log("frame sender " + LoggableText(m_id) + " started");
}

FrameSender::~FrameSender() {
    KeepRunning(false);
    if (m_threadStarted)
        pthread_join(m_thread, nullptr);
    if (m_remotePort) {
        CFMessagePortInvalidate(m_remotePort);
        CFRelease(m_remotePort);
        m_remotePort = nullptr;
    }
    ClearQueue();
    DecrementCount();
    Activate(false);
    if (m_sandboxMode) {
        for (int slot = 0; slot < kSandboxSlotCount; ++slot)
            std::remove(SandboxFramePath(slot).c_str());
    }
    g_logger.Log("frame sender " + LoggableText(m_id) + " destroyed");
    if (m_portName)
        CFRelease(m_portName);
}

void* FrameSender::Thread(void* sender) {
    FrameSender* self = static_cast<FrameSender*>(sender);
    int slot = 0;
    int written = 0;
    while (self->KeepRunning()) {
        if (self->m_sandboxMode) {
            if (self->WriteFrame(written, slot)) {
                slot = (slot + 1) % kSandboxSlotCount;
                ++written;
            }
            usleep(kIdleMicroseconds);
        } else if (!self->SendFrame()) {
            // Delivered frames leave back to back; only an idle or failed
            // cycle waits.
            usleep(kIdleMicroseconds);
        }
    }
    return nullptr;
}

void FrameSender::AddFrame(const unsigned char* bytes, int32_t length) {
    pthread_mutex_lock(&m_frameQueueMutex);
    if (m_frameQueue.size() < kMaxQueuedFrames) {
        EvfFrame* frame = new EvfFrame();
        frame->LoadFrame(bytes, length);
        m_frameQueue.push_back(frame);
    }
    pthread_mutex_unlock(&m_frameQueueMutex);
}

EvfFrame* FrameSender::GetFrame() {
    EvfFrame* frame = nullptr;
    pthread_mutex_lock(&m_frameQueueMutex);
    if (!m_frameQueue.empty()) {
        frame = m_frameQueue.front();
        m_frameQueue.pop_front();
    }
    pthread_mutex_unlock(&m_frameQueueMutex);
    return frame;
}

void FrameSender::ClearQueue() {
    std::deque<EvfFrame*> cleared;
    pthread_mutex_lock(&m_frameQueueMutex);
    cleared.swap(m_frameQueue);
    pthread_mutex_unlock(&m_frameQueueMutex);
    for (EvfFrame* frame : cleared)
        delete frame;
}

bool FrameSender::SendFrame() {
    EvfFrame* frame = GetFrame();
    const bool failed = GetSendFailed();
    if (!frame)
        return false;
    if (failed) {
        delete frame;
        return false;
    }
    if (!m_remotePort) {
        m_remotePort =
            m_portName ? CFMessagePortCreateRemote(kCFAllocatorDefault, m_portName) : nullptr;
        if (!m_remotePort) {
            SetSendFailed(true);
            g_logger.Log("frame sender " + LoggableText(m_id) + " was unable to open the port");
            delete frame;
            return false;
        }
    }
    const bool sent = SendFrameMessage(m_remotePort, frame->GetBuf(), frame->GetBufSize());
    if (!sent) {
        SetSendFailed(true);
        g_logger.Log("frame sender " + LoggableText(m_id) + " was unable to send a frame");
    }
    delete frame;
    return sent;
}

bool FrameSender::WriteFrame(int frameNumber, int slot) {
    EvfFrame* frame = GetFrame();
    if (!frame)
        return false;
    const bool written =
        WriteSandboxFrameFile(slot, frameNumber, frame->GetBuf(), frame->GetBufSize());
    delete frame;
    return written;
}

bool FrameSender::GetSendFailed() {
    pthread_mutex_lock(&m_sendFailedMutex);
    const bool failed = m_sendFailed;
    pthread_mutex_unlock(&m_sendFailedMutex);
    return failed;
}

void FrameSender::SetSendFailed(bool failed) {
    pthread_mutex_lock(&m_sendFailedMutex);
    m_sendFailed = failed;
    pthread_mutex_unlock(&m_sendFailedMutex);
}

void FrameSender::Activate(bool activate) {
    if (activate) {
        IncrementNumActivated();
    } else if (Activated()) {
        DecrementNumActivated();
    }
    pthread_mutex_lock(&m_activatedMutex);
    m_activated = activate;
    pthread_mutex_unlock(&m_activatedMutex);
}

bool FrameSender::Activated() {
    pthread_mutex_lock(&m_activatedMutex);
    const bool activated = m_activated;
    pthread_mutex_unlock(&m_activatedMutex);
    return activated;
}

void FrameSender::KeepRunning(bool keepRunning) {
    pthread_mutex_lock(&m_keepRunningMutex);
    m_keepRunning = keepRunning;
    pthread_mutex_unlock(&m_keepRunningMutex);
}

bool FrameSender::KeepRunning() {
    pthread_mutex_lock(&m_keepRunningMutex);
    const bool keepRunning = m_keepRunning;
    pthread_mutex_unlock(&m_keepRunningMutex);
    return keepRunning;
}

int FrameSender::Count() {
    pthread_mutex_lock(&m_countMutex);
    const int count = m_count;
    pthread_mutex_unlock(&m_countMutex);
    return count;
}

int FrameSender::NumActivated() {
    pthread_mutex_lock(&m_numActivatedMutex);
    const int count = m_numActivated;
    pthread_mutex_unlock(&m_numActivatedMutex);
    return count;
}

void FrameSender::IncrementCount() {
    pthread_mutex_lock(&m_countMutex);
    ++m_count;
    pthread_mutex_unlock(&m_countMutex);
}

void FrameSender::DecrementCount() {
    pthread_mutex_lock(&m_countMutex);
    --m_count;
    pthread_mutex_unlock(&m_countMutex);
}

void FrameSender::IncrementNumActivated() {
    pthread_mutex_lock(&m_numActivatedMutex);
    ++m_numActivated;
    pthread_mutex_unlock(&m_numActivatedMutex);
}

void FrameSender::DecrementNumActivated() {
    pthread_mutex_lock(&m_numActivatedMutex);
    --m_numActivated;
    pthread_mutex_unlock(&m_numActivatedMutex);
}
