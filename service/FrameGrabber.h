// Sets the pace of the live stream: while enabled, asks the controller for one
// live-view download every frame period (35 a second). The download itself
// is a camera command, so a request only queues it and returns at once.
#ifndef CVL_SERVICE_FRAMEGRABBER_H
#define CVL_SERVICE_FRAMEGRABBER_H

#include <pthread.h>

#include <cstdint>

class CameraController;

class FrameGrabber {
public:
    FrameGrabber();
    ~FrameGrabber();

    FrameGrabber(const FrameGrabber&) = delete;
    FrameGrabber& operator=(const FrameGrabber&) = delete;

    void SetCameraController(CameraController* controller) { m_pCameraController = controller; }
    CameraController* GetCameraController() const { return m_pCameraController; }

    void Enable(bool enable);
    bool IsEnabled();
    void KeepRunning(bool keepRunning);
    bool KeepRunning();
    int32_t GetFrameRate() const { return m_frameRate; }

    // One download request.
    void GrabFrame();

    static void* Thread(void* grabber);

private:
    bool m_keepRunning = true;
    pthread_mutex_t m_keepRunningMutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_enabled = false;
    pthread_mutex_t m_enabledMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_t m_thread;
    bool m_threadStarted = false;
    int32_t m_frameRate = 35;
    CameraController* m_pCameraController = nullptr;
};

#endif
