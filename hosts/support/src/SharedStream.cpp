#include "cvlhost/SharedStream.h"

#include <pthread.h>

namespace cvl::host {

namespace {

// The process's capture and its holders. Creating and ending a capture happen
// under the lock, so a new one never meets an old one that still ends (two
// clients would fight over the process's frame port).
pthread_mutex_t g_registryMutex = PTHREAD_MUTEX_INITIALIZER;
FrameCapture* g_capture = nullptr;
int g_holders = 0;

} // namespace

SharedStream::SharedStream(const CaptureSettings& settings, Listener listener) {
    pthread_mutex_lock(&g_registryMutex);
    if (!g_capture)
        g_capture = new FrameCapture(settings);
    if (g_capture->Settings() == settings) {
        m_capture = g_capture;
        ++g_holders;
    }
    pthread_mutex_unlock(&g_registryMutex);
    if (m_capture && listener)
        m_listener = m_capture->AddListener(std::move(listener));
}

SharedStream::~SharedStream() {
    if (!m_capture)
        return;
    if (m_listener)
        m_capture->RemoveListener(m_listener);
    pthread_mutex_lock(&g_registryMutex);
    if (--g_holders == 0) {
        delete g_capture; // ends the stream and joins the capture thread
        g_capture = nullptr;
    }
    pthread_mutex_unlock(&g_registryMutex);
}

bool SharedStream::WaitNewer(uint64_t after, Clock::time_point deadline, CapturedFrame& out) {
    return m_capture && m_capture->WaitNewer(after, deadline, out, m_waiter);
}

bool SharedStream::Newest(CapturedFrame& out) {
    return m_capture && m_capture->Newest(out);
}

void SharedStream::Interrupt(bool on) {
    if (m_capture)
        m_capture->Interrupt(m_waiter, on);
}

StreamState SharedStream::State() {
    return m_capture ? m_capture->State() : StreamState::Waiting;
}

int SharedStream::StreamsInProcess() {
    pthread_mutex_lock(&g_registryMutex);
    const int streams = g_capture ? 1 : 0;
    pthread_mutex_unlock(&g_registryMutex);
    return streams;
}

} // namespace cvl::host
