#include "CameraController.h"

#include "FrameTransport.h"
#include "LogText.h"
#include "Logger.h"
#include "RequestSender.h"
#include "RequestText.h"

#include <ZelSDK/ZelSDK.h>
#include <libproc.h>
#include <sys/proc_info.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <unistd.h>

namespace {

constexpr unsigned kPassMicroseconds = 100000;
// More than 3000 whole milliseconds of quiet before the periodic check.
constexpr std::chrono::nanoseconds kQuietPeriod(3001000000LL);
// How long shutdown waits for the closing commands to run.
constexpr int kClosingCommandsTimeoutMs = 1000;

constexpr int kMaxProcesses = 2048;
constexpr char kSandboxSenderId[] = "sandbox";

bool NameStartsWith(const char* name, size_t size, const char* prefix) {
    const size_t length = std::strlen(prefix);
    return length <= size && std::memcmp(name, prefix, length) == 0;
}

} // namespace

CameraController::CameraController(bool sandboxMode) : m_thread(), m_sandboxMode(sandboxMode) {
    m_camera.SetCameraController(this);
    m_requestListener.SetCameraController(this);
    m_frameGrabber.SetCameraController(this);
    KeepRunning(true);
    m_threadStarted = pthread_create(&m_thread, nullptr, &CameraController::Thread, this) == 0;
    g_logger.Log("camera controller started");
}

CameraController::~CameraController() {
    // No request may reach the queue from here on: the listener's thread
    // ends and the process-wide pointer is withdrawn before anything goes.
    m_requestListener.Stop();
    m_requestListener.SetCameraController(nullptr);

    // The controller thread ends before the closing commands are queued, so
    // that a reconnect in its last pass cannot open the session again.
    KeepRunning(false);
    if (m_threadStarted)
        pthread_join(m_thread, nullptr);
    m_threadStarted = false;
    StopStreaming();

    // The closing commands run; then no command, and with it no download,
    // reaches the sender list, and no event handler reaches this controller.
    m_camera.StopCommandProcessor(kClosingCommandsTimeoutMs);
    m_camera.DisableEvents();
    g_logger.Log("camera controller stopped");

    DestroyFrameSenders();
    // The members stop in reverse order and log their stop lines: the frame
    // grabber, the request listener, then the camera's command processor.
}

void CameraController::DestroyFrameSenders() {
    pthread_mutex_lock(&m_frameSendersMutex);
    for (FrameSender* sender : m_frameSenders)
        delete sender;
    m_frameSenders.clear();
    pthread_mutex_unlock(&m_frameSendersMutex);
}

void* CameraController::Thread(void* argument) {
    CameraController* self = static_cast<CameraController*>(argument);
    auto lastActivity = std::chrono::steady_clock::now();
    bool sandboxStream = false;
    if (!self->KeepRunning())
        return nullptr;
    for (;;) {
        const std::string request = self->GetRequest();
        if (request.empty())
            self->EndRefusals();
        else if (self->HandleRequest(request))
            lastActivity = std::chrono::steady_clock::now();
        if (std::chrono::steady_clock::now() - lastActivity >= kQuietPeriod) {
            self->PeriodicCheck(sandboxStream);
            lastActivity = std::chrono::steady_clock::now();
        }
        usleep(kPassMicroseconds);
        if (!self->KeepRunning())
            break;
    }
    return nullptr;
}

bool CameraController::HandleRequest(const std::string& request) {
    std::string senderId;
    std::string command;
    ParseRequestText(request, senderId, command);
    g_logger.Log("received: " + LoggableText(command) + " from: " + LoggableText(senderId));
    if (command == "StartStreaming") {
        // The client opens its frame port before it asks. Without one, the
        // sender would only fail on its first frame; not keeping it spares a
        // thread and a place in the list ahead of real clients, and the
        // camera a connection that nobody would watch.
        if (!FramePortExists(senderId)) {
            RefuseWithoutFramePort(senderId);
            return false;
        }
        AddFrameSender(senderId, false);
        StartStreaming();
        return true;
    }
    if (command == "StartStreamingSandboxMode") {
        AddFrameSender(senderId, true);
        StartStreaming();
        return true;
    }
    if (command == "StopStreaming") {
        RemoveFrameSender(senderId);
        if (FrameSender::Count() == 0)
            StopStreaming();
        return true;
    }
    if (command == "Close") {
        Close(true);
        return true;
    }
    return false;
}

void CameraController::PeriodicCheck(bool& sandboxStream) {
    if (FrameSender::Count() > 0 && m_camera.GetStatus() != Camera::Streaming) {
        g_logger.Log("attempting camera reconnect");
        StopStreaming();
        StartStreaming();
    }
    if (!m_sandboxMode)
        return;
    if (!SandboxAppRunning()) {
        if (sandboxStream)
            RemoveFrameSender(kSandboxSenderId);
        sandboxStream = false;
    } else if (!sandboxStream) {
        sandboxStream = AddFrameSender(kSandboxSenderId, true) != nullptr;
        StartStreaming();
    }
}

void CameraController::AddRequest(std::string request, long process) {
    // What is dropped is logged once per burst, after the lock is let go.
    const char* dropped = nullptr;
    pthread_mutex_lock(&m_requestsMutex);
    if (request.size() > RequestQueue::kMaxRequestBytes) {
        if (!m_droppingLong)
            dropped = "request too long, dropped";
        m_droppingLong = true;
        m_droppedSincePass = true;
    } else if (!m_requests.Add(std::move(request), process)) {
        if (!m_droppingRequests)
            dropped = "request queue full, dropping requests";
        m_droppingRequests = true;
        m_droppedSincePass = true;
    }
    pthread_mutex_unlock(&m_requestsMutex);
    if (dropped)
        g_logger.Log(dropped);
}

std::string CameraController::GetRequest() {
    pthread_mutex_lock(&m_requestsMutex);
    std::string request = m_requests.Take();
    if (m_requests.Empty() && !m_droppedSincePass) {
        m_droppingRequests = false;
        m_droppingLong = false;
    }
    m_droppedSincePass = false;
    pthread_mutex_unlock(&m_requestsMutex);
    return request;
}

std::string CameraController::AnswerSettingsRequest(const std::string& command) {
    return m_camera.Settings().Answer(command);
}

void CameraController::StartStreaming() {
    if (m_camera.GetStatus() >= Camera::Initialized) {
        g_logger.Log("camera connection already initialized");
        return;
    }

    __ZelObject* list = nullptr;
    __ZelObject* camera = nullptr;
    ZelError error = ZelGetCameraList(&list);
    if (error == 0) {
        uint32_t count = 0;
        error = ZelGetChildCount(list, &count);
        if (count == 0)
            error = ZEL_ERR_DEVICE_NOT_FOUND;
    }
    if (error == 0)
        error = ZelGetChildAtIndex(list, 0, &camera);
    ZelDeviceInfo info;
    std::memset(&info, 0, sizeof info);
    if (error == 0)
        error = ZelGetDeviceInfo(camera, &info);
    if (error == 0 && (!camera || info.usable != 1))
        error = ZEL_ERR_DEVICE_NOT_FOUND;
    if (error == 0) {
        m_camera.IsLumidrift(false);
        if (std::memcmp(info.description, "Orvak Lumidrift", 15) == 0)
            m_camera.IsLumidrift(true);
        m_camera.SetCamera(camera);
    } else if (camera) {
        // A camera that is not taken is given back at once.
        ZelRelease(camera);
    }
    if (list)
        ZelRelease(list);

    if (error == 0) {
        __ZelObject* taken = m_camera.GetCamera();
        error = ZelSetPropertyEventHandler(taken, ZEL_PROPERTY_EVENT_ALL,
                                           &Camera::HandlePropertyEvent, &m_camera);
        if (error == 0)
            error = ZelSetObjectEventHandler(taken, ZEL_OBJECT_EVENT_ALL,
                                             &Camera::HandleObjectEvent, &m_camera);
        if (error == 0)
            error = ZelSetCameraStateEventHandler(taken, ZEL_STATE_EVENT_ALL,
                                                  &Camera::HandleStateEvent, &m_camera);
    }

    if (error == 0) {
        m_camera.SetStatus(Camera::Initialized);
        g_logger.Log("camera connection initialized");
        m_camera.OpenSession();
        if (m_camera.IsLumidrift())
            m_camera.StartRemoteShooting();
        else
            m_camera.StartEvf();
    } else {
        m_camera.SetStatus(static_cast<unsigned int>(error));
        g_logger.Log("unable to initialize camera connection");
    }
}

void CameraController::StopStreaming() {
    m_frameGrabber.Enable(false);
    m_camera.ClearCommandQueue();
    m_camera.StopEvf();
    if (m_camera.IsLumidrift())
        m_camera.StopRemoteShooting();
    m_camera.CloseSession();
}

FrameSender* CameraController::AddFrameSender(std::string id, bool sandboxMode) {
    FrameSender* sender = nullptr;
    bool full = false;
    pthread_mutex_lock(&m_frameSendersMutex);
    bool exists = false;
    for (FrameSender* existing : m_frameSenders)
        exists = exists || existing->GetId() == id;
    if (!exists && m_frameSenders.size() >= kMaxFrameSenders) {
        full = true;
    } else if (!exists) {
        sender = new FrameSender(id);
        sender->EnableSandboxMode(sandboxMode);
        if (FrameSender::NumActivated() <= 0)
            sender->Activate(true);
        m_frameSenders.push_back(sender);
    }
    pthread_mutex_unlock(&m_frameSendersMutex);
    if (full)
        RefuseFrameSender(m_refusingFull, "frame sender " + LoggableText(id) + " not added, " +
                                              std::to_string(kMaxFrameSenders) +
                                              " frame senders exist");
    return sender;
}

bool CameraController::FramePortExists(const std::string& id) {
    CFStringRef name = CreateFramePortName(id);
    if (!name)
        return false;
    const bool served = PortServed(name);
    CFRelease(name);
    return served;
}

void CameraController::RefuseFrameSender(bool& refusing, const std::string& line) {
    pthread_mutex_lock(&m_refusingMutex);
    const bool first = !refusing;
    refusing = true;
    pthread_mutex_unlock(&m_refusingMutex);
    if (first)
        g_logger.Log(line);
}

void CameraController::RefuseWithoutFramePort(const std::string& id) {
    pthread_mutex_lock(&m_refusingMutex);
    const bool first =
        std::find(m_refusedNoPort.begin(), m_refusedNoPort.end(), id) == m_refusedNoPort.end();
    if (first) {
        // Bounded, so that a flood of new identifiers costs no memory; one
        // forgotten is logged again at its next refusal.
        if (m_refusedNoPort.size() >= kMaxRefusedRemembered)
            m_refusedNoPort.pop_front();
        m_refusedNoPort.push_back(id);
    }
    pthread_mutex_unlock(&m_refusingMutex);
    if (first)
        g_logger.Log("frame sender " + LoggableText(id) +
                     " not added, the client has no frame port");
}

void CameraController::EndRefusals() {
    pthread_mutex_lock(&m_refusingMutex);
    m_refusedNoPort.clear();
    m_refusingFull = false;
    pthread_mutex_unlock(&m_refusingMutex);
}

void CameraController::RemoveFrameSender(std::string id) {
    pthread_mutex_lock(&m_frameSendersMutex);
    for (auto it = m_frameSenders.begin(); it != m_frameSenders.end(); ++it) {
        if ((*it)->GetId() == id) {
            delete *it;
            m_frameSenders.erase(it);
            break;
        }
    }
    pthread_mutex_unlock(&m_frameSendersMutex);
}

void CameraController::SendFrame(unsigned char* bytes, int length) {
    bool taken = false;
    pthread_mutex_lock(&m_frameSendersMutex);
    for (auto it = m_frameSenders.begin(); it != m_frameSenders.end();) {
        FrameSender* sender = *it;
        if (sender->GetSendFailed()) {
            delete sender;
            it = m_frameSenders.erase(it);
            continue;
        }
        if (!sender->Activated() && FrameSender::NumActivated() <= 0)
            sender->Activate(true);
        if (sender->Activated()) {
            sender->AddFrame(bytes, length);
            taken = true;
        }
        ++it;
    }
    pthread_mutex_unlock(&m_frameSendersMutex);
    if (!taken)
        StopStreaming();
}

void CameraController::DownloadEvf() {
    m_camera.DownloadEvf();
}

void CameraController::EnableFrameGrabber(bool enable) {
    m_frameGrabber.Enable(enable);
}

bool CameraController::SandboxAppRunning() {
    int pids[kMaxProcesses] = {};
    const int bytes = proc_listpids(PROC_ALL_PIDS, 0, pids, sizeof pids);
    int count = bytes > 0 ? bytes / static_cast<int>(sizeof(int)) : 0;
    if (count > kMaxProcesses)
        count = kMaxProcesses;
    for (int i = 0; i < count; ++i) {
        proc_bsdinfo info;
        std::memset(&info, 0, sizeof info);
        if (proc_pidinfo(pids[i], PROC_PIDTBSDINFO, 0, &info, sizeof info) !=
            static_cast<int>(sizeof info))
            continue;
        if (NameStartsWith(info.pbi_name, sizeof info.pbi_name, "FaceTime") ||
            NameStartsWith(info.pbi_name, sizeof info.pbi_name, "Photo Booth"))
            return true;
    }
    return false;
}

bool CameraController::Close() {
    pthread_mutex_lock(&m_closeMutex);
    const bool close = m_close;
    pthread_mutex_unlock(&m_closeMutex);
    return close;
}

void CameraController::Close(bool close) {
    pthread_mutex_lock(&m_closeMutex);
    m_close = close;
    pthread_mutex_unlock(&m_closeMutex);
}

bool CameraController::KeepRunning() {
    pthread_mutex_lock(&m_keepRunningMutex);
    const bool keepRunning = m_keepRunning;
    pthread_mutex_unlock(&m_keepRunningMutex);
    return keepRunning;
}

void CameraController::KeepRunning(bool keepRunning) {
    pthread_mutex_lock(&m_keepRunningMutex);
    m_keepRunning = keepRunning;
    pthread_mutex_unlock(&m_keepRunningMutex);
}
