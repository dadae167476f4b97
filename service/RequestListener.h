// Serves the service's request port on a thread and run loop of its own. Every
// stream request and note is answered at once with "success" and its text
// handed to the camera controller (kept until one registers, when none has
// yet); nothing is carried out here. Settings requests are answered with
// their data from the camera's settings table, also at once.
#ifndef CVL_SERVICE_REQUESTLISTENER_H
#define CVL_SERVICE_REQUESTLISTENER_H

#include <CoreFoundation/CoreFoundation.h>

#include <pthread.h>

#include <string>

class CameraController;

// The controller that receives requests; null until it registers itself and
// again once it withdraws. Set only through SetCameraController.
extern CameraController* g_pCameraController;

class RequestListener {
public:
    RequestListener();
    // Stops the run loop and joins the thread; never returns while the thread
    // still serves the port, also when the stop comes before it runs.
    ~RequestListener();

    RequestListener(const RequestListener&) = delete;
    RequestListener& operator=(const RequestListener&) = delete;

    // Ends the thread and closes the port, as the destructor does, but
    // without its stop line: no request arrives once this returns.
    void Stop();

    // Registers the controller (null: withdraws it); one that registers gets
    // the requests that came before it.
    void SetCameraController(CameraController* controller);
    void SetRunLoop(CFRunLoopRef runLoop);

    static void* Thread(void* listener);
    static CFDataRef Callback(CFMessagePortRef port, SInt32 messageId, CFDataRef data,
                              void* context);

private:
    // The reply to a settings request, from the registered controller.
    static CFDataRef AnswerSettingsRequest(const std::string& command);
    bool StopRequested();

    pthread_t m_thread;
    CFRunLoopRef m_runLoop = nullptr;
    // Guards m_runLoop and m_stopRequested, so a stop is never lost between
    // the thread publishing its run loop and entering it.
    pthread_mutex_t m_runLoopMutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_stopRequested = false;
    bool m_threadStarted = false;
};

#endif
