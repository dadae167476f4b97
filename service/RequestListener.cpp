#include "RequestListener.h"

#include "CVLPaths.h"
#include "CameraController.h"
#include "CameraSettings.h"
#include "Logger.h"
#include "RequestQueue.h"
#include "RequestText.h"
#include "SuccessReply.h"

#include <cstring>
#include <string>
#include <utility>
#include <sys/types.h>

CameraController* g_pCameraController = nullptr;

// The process that sent the message a local port's callback is handling, or
// -1. Message ports do not say; a platform that can tell defines this
// function beside them, and where none does the reference stays null and
// requests are told apart by the sender identifier they carry.
extern "C" pid_t MessagePortSenderProcess(CFMessagePortRef local) __attribute__((weak));

namespace {

// Guards g_pCameraController. The callback holds it while it hands a request
// over, so that once the pointer is withdrawn no request is still on its way
// into the controller; it is taken before the controller's queue lock.
pthread_mutex_t g_cameraControllerMutex = PTHREAD_MUTEX_INITIALIZER;

constexpr size_t kMaxEarlyRequests = 32;

// Requests answered while no controller is registered: the port opens as the
// controller is being built, before it registers itself, and a client told
// "success" must not lose its request in that window. They wait in a queue
// of the controller's kind, with its rule of what goes when it is full (a
// client's last request stays), and are handed over in turn to the next
// controller that registers. Guarded by g_cameraControllerMutex, as are the
// flags that log the first drop of each kind until the hand-over.
RequestQueue g_earlyRequests(kMaxEarlyRequests, kMaxEarlyRequests);
bool g_droppingEarlyRequests = false;
bool g_droppingEarlyLong = false;

// The run loop runs in slices so that a stop requested before the thread
// entered it still ends the thread within one slice.
constexpr CFTimeInterval kRunSliceSeconds = 0.2;

} // namespace

RequestListener::RequestListener() : m_thread() {
    m_threadStarted = pthread_create(&m_thread, nullptr, &RequestListener::Thread, this) == 0;
    g_logger.Log("request listener started");
}

RequestListener::~RequestListener() {
    Stop();
    g_logger.Log("request listener stopped");
}

void RequestListener::Stop() {
    pthread_mutex_lock(&m_runLoopMutex);
    m_stopRequested = true;
    if (m_runLoop)
        CFRunLoopStop(m_runLoop);
    pthread_mutex_unlock(&m_runLoopMutex);
    if (m_threadStarted)
        pthread_join(m_thread, nullptr);
    m_threadStarted = false;
}

void RequestListener::SetCameraController(CameraController* controller) {
    pthread_mutex_lock(&g_cameraControllerMutex);
    g_pCameraController = controller;
    if (controller) {
        while (!g_earlyRequests.Empty()) {
            long process = -1;
            std::string request = g_earlyRequests.Take(&process);
            controller->AddRequest(std::move(request), process);
        }
        g_droppingEarlyRequests = false;
        g_droppingEarlyLong = false;
    }
    pthread_mutex_unlock(&g_cameraControllerMutex);
}

void RequestListener::SetRunLoop(CFRunLoopRef runLoop) {
    pthread_mutex_lock(&m_runLoopMutex);
    m_runLoop = runLoop;
    pthread_mutex_unlock(&m_runLoopMutex);
}

bool RequestListener::StopRequested() {
    pthread_mutex_lock(&m_runLoopMutex);
    const bool stop = m_stopRequested;
    pthread_mutex_unlock(&m_runLoopMutex);
    return stop;
}

void* RequestListener::Thread(void* listener) {
    RequestListener* self = static_cast<RequestListener*>(listener);
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, CVL_REQUEST_PORT_NAME,
                                                 kCFStringEncodingASCII);
    CFMessagePortRef port =
        name ? CFMessagePortCreateLocal(kCFAllocatorDefault, name, &RequestListener::Callback,
                                        nullptr, nullptr)
             : nullptr;
    if (name)
        CFRelease(name);
    if (!port) {
        // Another service serves the name: this one runs on without a port.
        g_logger.Log("request listener was unable to create the request port");
        return nullptr;
    }
    CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    self->SetRunLoop(runLoop);
    if (source)
        CFRunLoopAddSource(runLoop, source, kCFRunLoopDefaultMode);

    while (!self->StopRequested())
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, kRunSliceSeconds, false);

    // Unpublish before the run loop goes away with the thread.
    self->SetRunLoop(nullptr);
    if (source) {
        CFRunLoopSourceInvalidate(source);
        CFRelease(source);
    }
    CFMessagePortInvalidate(port);
    CFRelease(port);
    return nullptr;
}

CFDataRef RequestListener::AnswerSettingsRequest(const std::string& command) {
    std::string reply;
    pthread_mutex_lock(&g_cameraControllerMutex);
    if (g_pCameraController)
        reply = g_pCameraController->AnswerSettingsRequest(command);
    else
        reply = "error the service is starting; try again\n";
    pthread_mutex_unlock(&g_cameraControllerMutex);
    // The reply's text and its NUL.
    return CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(reply.c_str()),
                        static_cast<CFIndex>(reply.size() + 1));
}

CFDataRef RequestListener::Callback(CFMessagePortRef port, SInt32, CFDataRef data, void*) {
    std::string text;
    if (data) {
        const CFIndex length = CFDataGetLength(data);
        const UInt8* bytes = CFDataGetBytePtr(data);
        if (bytes && length > 0) {
            const void* nul = std::memchr(bytes, 0, static_cast<size_t>(length));
            const size_t size = nul ? static_cast<size_t>(static_cast<const UInt8*>(nul) - bytes)
                                    : static_cast<size_t>(length);
            text.assign(reinterpret_cast<const char*>(bytes), size);
        }
    }
    // Settings requests are answered here, from the controller's settings
    // table, and reach neither the request queue nor the log.
    std::string senderId;
    std::string command;
    ParseRequestText(text, senderId, command);
    if (CameraSettings::IsSettingsRequest(command))
        return AnswerSettingsRequest(command);

    // The sending process as the platform knows it, so that the controller
    // can share its turns fairly whatever identifier a request claims.
    const long process = MessagePortSenderProcess ? MessagePortSenderProcess(port) : -1;
    // The first drop of each kind before the hand-over is logged, after the
    // lock is let go.
    const char* dropped = nullptr;
    pthread_mutex_lock(&g_cameraControllerMutex);
    if (g_pCameraController) {
        g_pCameraController->AddRequest(std::move(text), process);
    } else if (text.size() > RequestQueue::kMaxRequestBytes) {
        if (!g_droppingEarlyLong)
            dropped = "request too long, dropped";
        g_droppingEarlyLong = true;
    } else if (!g_earlyRequests.Add(std::move(text), process)) {
        if (!g_droppingEarlyRequests)
            dropped = "request queue full before the camera controller started, dropping requests";
        g_droppingEarlyRequests = true;
    }
    pthread_mutex_unlock(&g_cameraControllerMutex);
    if (dropped)
        g_logger.Log(dropped);
    return CreateSuccessReply();
}
