#include "FrameGrabber.h"

#include "CameraController.h"
#include "Logger.h"

#include <unistd.h>

namespace {

constexpr useconds_t kDisabledSleepMicroseconds = 100000;

} // namespace

FrameGrabber::FrameGrabber() {
    m_threadStarted = pthread_create(&m_thread, nullptr, Thread, this) == 0;
    g_logger.Log("frame grabber started");
}

FrameGrabber::~FrameGrabber() {
    // Disabled first, so that no further download is requested.
    Enable(false);
    KeepRunning(false);
    if (m_threadStarted)
        pthread_join(m_thread, nullptr);
    g_logger.Log("frame grabber stopped");
}

void FrameGrabber::Enable(bool enable) {
    pthread_mutex_lock(&m_enabledMutex);
    m_enabled = enable;
    pthread_mutex_unlock(&m_enabledMutex);
}

bool FrameGrabber::IsEnabled() {
    pthread_mutex_lock(&m_enabledMutex);
    const bool enabled = m_enabled;
    pthread_mutex_unlock(&m_enabledMutex);
    return enabled;
}

void FrameGrabber::KeepRunning(bool keepRunning) {
    pthread_mutex_lock(&m_keepRunningMutex);
    m_keepRunning = keepRunning;
    pthread_mutex_unlock(&m_keepRunningMutex);
}

bool FrameGrabber::KeepRunning() {
    pthread_mutex_lock(&m_keepRunningMutex);
    const bool keepRunning = m_keepRunning;
    pthread_mutex_unlock(&m_keepRunningMutex);
    return keepRunning;
}

void FrameGrabber::GrabFrame() {
    if (m_pCameraController)
        m_pCameraController->DownloadEvf();
}

void* FrameGrabber::Thread(void* argument) {
    FrameGrabber* grabber = static_cast<FrameGrabber*>(argument);
    // 28,571 us at 35 frames a second, truncated.
    const useconds_t period = static_cast<useconds_t>(1000000 / grabber->m_frameRate);
    while (grabber->KeepRunning()) {
        if (grabber->IsEnabled()) {
            grabber->GrabFrame();
            usleep(period);
        } else {
            usleep(kDisabledSleepMicroseconds);
        }
    }
    return nullptr;
}
