#include "Camera.h"

#include "CameraController.h"
#include "EvfFrame.h"
#include "Logger.h"
#include "SettingCommands.h"

#include <algorithm>
#include <string>
#include <unistd.h>

namespace {

// The parameter sent with the extend-shutdown-timer command.
constexpr int32_t kExtendShutdownTimerParameter = 0;

bool IsErrorStatus(Camera::Status status) {
    return status == Camera::Busy || status == Camera::Disconnected;
}

// Event handlers run on the SDK's threads and may arrive while the camera is
// being torn down. Every handler runs under this gate, and only for a camera
// that is still in the list of cameras taking events, so that a camera (and
// the controller around it) is never used once it has stopped taking them.
pthread_mutex_t g_eventGateMutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<const Camera*> g_eventCameras;

class EventGate {
public:
    explicit EventGate(const void* camera) {
        pthread_mutex_lock(&g_eventGateMutex);
        m_open =
            std::find(g_eventCameras.begin(), g_eventCameras.end(), camera) != g_eventCameras.end();
    }
    ~EventGate() { pthread_mutex_unlock(&g_eventGateMutex); }
    EventGate(const EventGate&) = delete;
    EventGate& operator=(const EventGate&) = delete;
    bool Open() const { return m_open; }

private:
    bool m_open = false;
};

void StopTakingEvents(const Camera* camera) {
    pthread_mutex_lock(&g_eventGateMutex);
    g_eventCameras.erase(std::remove(g_eventCameras.begin(), g_eventCameras.end(), camera),
                         g_eventCameras.end());
    pthread_mutex_unlock(&g_eventGateMutex);
}

bool ReadProperty(__ZelObject* camera, uint32_t property, uint32_t& value, ZelError& error) {
    value = 0;
    error = ZelGetPropertyData(camera, property, 0, sizeof value, &value);
    return error == 0;
}

} // namespace

Camera::Camera() {
    pthread_mutex_lock(&g_eventGateMutex);
    g_eventCameras.push_back(this);
    pthread_mutex_unlock(&g_eventGateMutex);
}

Camera::~Camera() {
    StopTakingEvents(this);
    // The command worker ends first, so that no command uses a reference
    // once it is given back; the processor logs its stop line and discards
    // what is pending when it is destroyed after this body.
    m_commandProcessor.Stop();
    if (__ZelObject* camera = m_cameraRef.load())
        ZelRelease(camera);
    for (__ZelObject* replaced : m_replacedRefs)
        ZelRelease(replaced);
}

void Camera::SetCamera(__ZelObject* camera) {
    __ZelObject* previous = m_cameraRef.exchange(camera);
    if (!previous)
        return;
    if (previous == camera) {
        // The SDK handed out another count of the reference already held.
        ZelRelease(camera);
        return;
    }
    m_replacedRefs.push_back(previous);
}

void Camera::OpenSession() {
    m_commandProcessor.Add(new OpenSessionCommand(this), false);
    // The settings of a new session are read right after it opens, before
    // live view starts, so that its first frames have the size chosen.
    m_settings.Forget();
    m_settings.MarkReadQueued(-1);
    m_commandProcessor.Add(new ReadSettingsCommand(this, -1), false);
}

void Camera::CloseSession() {
    m_commandProcessor.Add(new CloseSessionCommand(this), false);
}

void Camera::StartRemoteShooting() {
    m_commandProcessor.Add(new StartRemoteShootingCommand(this), false);
}

void Camera::StopRemoteShooting() {
    m_commandProcessor.Add(new StopRemoteShootingCommand(this), false);
}

void Camera::StartEvf() {
    m_stopEvfCalled = false;
    m_commandProcessor.Add(new StartEvfCommand(this), false);
}

void Camera::StopEvf() {
    m_stopEvfCalled = true;
    m_commandProcessor.Add(new StopEvfCommand(this), false);
}

void Camera::DownloadEvf() {
    m_commandProcessor.Add(new DownloadEvfCommand(this), true);
}

void Camera::ExtendShutdownTimer() {
    m_commandProcessor.Add(new ExtendShutdownTimerCommand(this), false);
}

void Camera::QueueSettingChange(int id) {
    m_commandProcessor.AddNext(new ApplySettingCommand(this, id));
}

void Camera::QueueSettingAction() {
    m_commandProcessor.AddNext(new CameraActionCommand(this));
}

void Camera::ClearCommandQueue() {
    m_commandProcessor.ClearQueue();
}

void Camera::EnableFrameGrabber(bool enable) {
    m_pCameraController->EnableFrameGrabber(enable);
}

void Camera::SendFrame(unsigned char* bytes, int length) {
    m_pCameraController->SendFrame(bytes, length);
}

Camera::Status Camera::GetStatus() {
    pthread_mutex_lock(&m_statusMutex);
    const Status status = m_status;
    pthread_mutex_unlock(&m_statusMutex);
    return status;
}

void Camera::SetStatus(Status status) {
    pthread_mutex_lock(&m_statusMutex);
    if (!(IsErrorStatus(status) && IsErrorStatus(m_status)))
        m_status = status;
    // The status lock is taken before the queue's, never the reverse.
    if (IsErrorStatus(m_status))
        m_commandProcessor.Add(new DownloadEvfCommand(this), true);
    pthread_mutex_unlock(&m_statusMutex);
}

void Camera::SetStatus(unsigned int error) {
    switch (error) {
    case ZEL_ERR_DEVICE_NOT_FOUND:
        SetStatus(Disconnected);
        g_logger.Log("ZelError: ZEL_ERR_DEVICE_NOT_FOUND");
        break;
    case ZEL_ERR_COMM_PORT_IS_IN_USE:
    case ZEL_ERR_COMM_PORT_IS_IN_USE_SESSION:
        SetStatus(Busy);
        g_logger.Log("ZelError: ZEL_ERR_COMM_PORT_IS_IN_USE");
        break;
    case ZEL_ERR_FRAME_NOT_READY:
        break;
    default:
        SetStatus(Disconnected);
        g_logger.Log("ZelError: " + std::to_string(error));
        break;
    }
}

void Camera::StoreStatus(Status status) {
    pthread_mutex_lock(&m_statusMutex);
    m_status = status;
    pthread_mutex_unlock(&m_statusMutex);
}

void Camera::StoreStatusBelowStreaming(Status status) {
    pthread_mutex_lock(&m_statusMutex);
    if (m_status != Streaming)
        m_status = status;
    pthread_mutex_unlock(&m_statusMutex);
}

void Camera::StopCommandProcessor(int timeoutMs) {
    for (int waited = 0; waited < timeoutMs && m_commandProcessor.GetQueueSize() > 0; waited += 10)
        usleep(10000);
    m_commandProcessor.Stop();
}

void Camera::DisableEvents() {
    StopTakingEvents(this);
}

ZelError Camera::HandlePropertyEvent(uint32_t event, uint32_t property, uint32_t parameter,
                                     void* context) {
    (void)parameter;
    EventGate gate(context);
    if (gate.Open())
        static_cast<Camera*>(context)->PropertyEvent(event, property);
    return 0;
}

ZelError Camera::HandleStateEvent(uint32_t event, uint32_t parameter, void* context) {
    (void)parameter;
    EventGate gate(context);
    if (gate.Open())
        static_cast<Camera*>(context)->StateEvent(event);
    return 0;
}

ZelError Camera::HandleObjectEvent(uint32_t event, __ZelObject* object, void* context) {
    (void)event;
    (void)object;
    (void)context;
    return 0;
}

void Camera::PropertyEvent(uint32_t event, uint32_t property) {
    if (event != ZEL_PROPERTY_EVENT_CHANGED)
        return;
    uint32_t value = 0;
    ZelError error = 0;
    if (property == ZEL_PROP_LENS_BARREL) {
        if (!ReadProperty(m_cameraRef.load(), ZEL_PROP_LENS_BARREL, value, error))
            return;
        if (value == 1) {
            g_logger.Log("property event: lens barrel opened");
            g_logger.Log("starting evf..");
            m_stopEvfCalled = false;
            m_commandProcessor.Add(new StartEvfCommand(this), false);
        } else if (value == 0) {
            g_logger.Log("property event: lens barrel closed");
        }
    } else if (const int id = FindSettingByProperty(property); id >= 0) {
        // A setting changed on the camera: read it again between downloads.
        if (!m_settings.MarkReadQueued(id))
            m_commandProcessor.Add(new ReadSettingsCommand(this, id), false);
    } else if (property == ZEL_PROP_EVF_OUTPUT) {
        if (!ReadProperty(m_cameraRef.load(), ZEL_PROP_EVF_OUTPUT, value, error))
            return;
        if (value & ZEL_EVF_OUTPUT_HOST) {
            g_logger.Log("property event: evf started");
            g_logger.Log("starting streaming..");
            EnableFrameGrabber(true);
            StoreStatus(Streaming);
        } else {
            g_logger.Log("property event: evf stopped");
            if (m_stopEvfCalled) {
                g_logger.Log("evf was internally stopped");
            } else {
                g_logger.Log("evf was externally stopped - setting camera state to disconnected");
                SetStatus(Disconnected);
            }
        }
    }
}

void Camera::StateEvent(uint32_t event) {
    if (event == ZEL_STATE_EVENT_DISCONNECTED) {
        SetStatus(Disconnected);
        g_logger.Log("state event: camera disconnected");
    } else if (event == ZEL_STATE_EVENT_SHUTDOWN_SOON) {
        m_commandProcessor.Add(new ExtendShutdownTimerCommand(this), false);
        g_logger.Log("state event: camera shutting down soon");
    }
}

uint32_t OpenSessionCommand::execute() {
    if (m_pCamera->GetStatus() >= Camera::SessionOpen) {
        g_logger.Log("OpenSessionCommand: session already open");
        return 0;
    }
    __ZelObject* camera = m_pCamera->GetCamera();
    ZelError error = ZelOpenSession(camera);
    if (error == 0) {
        const uint32_t saveTarget = 1;
        error = ZelSetPropertyData(camera, ZEL_PROP_SAVE_TARGET, 0, sizeof saveTarget, &saveTarget);
    }
    if (error == 0) {
        const ZelCapacity capacity = {0x7FFFFFFF, 0x1000, 1};
        error = ZelSetCapacity(camera, capacity);
    }
    if (error != 0) {
        g_logger.Log("OpenSessionCommand: error");
        m_pCamera->SetStatus(static_cast<unsigned int>(error));
        return error;
    }
    g_logger.Log("OpenSessionCommand: session opened");
    m_pCamera->StoreStatus(Camera::SessionOpen);
    return 0;
}

uint32_t CloseSessionCommand::execute() {
    ZelError result = 0;
    if (m_pCamera->GetStatus() < Camera::SessionOpen)
        g_logger.Log("CloseSessionCommand: session not open");
    else
        result = ZelCloseSession(m_pCamera->GetCamera());
    m_pCamera->StoreStatus(Camera::Idle);
    if (result != 0) {
        g_logger.Log("CloseSessionCommand: error");
        m_pCamera->SetStatus(static_cast<unsigned int>(result));
    } else {
        g_logger.Log("CloseSessionCommand: session closed");
    }
    return result;
}

namespace {

// Remote shooting is switched by command 271 when the lens barrel is not
// already where it should be; a camera without a barrel (code 7) needs none.
ZelError SwitchRemoteShooting(__ZelObject* camera, uint32_t wanted) {
    uint32_t barrel = 0;
    ZelError error = 0;
    if (ReadProperty(camera, ZEL_PROP_LENS_BARREL, barrel, error)) {
        if (barrel == wanted)
            return 0;
        return ZelSendCommand(camera, ZEL_CMD_REMOTE_SHOOTING, static_cast<int32_t>(wanted));
    }
    return error == ZEL_ERR_PROPERTY_UNAVAILABLE ? 0 : error;
}

// Reads property 1280 and writes it back with the live-view output bit set
// or cleared, keeping its other bits.
ZelError SwitchEvfOutput(__ZelObject* camera, bool on) {
    uint32_t value = 0;
    ZelError error = 0;
    if (!ReadProperty(camera, ZEL_PROP_EVF_OUTPUT, value, error))
        return error;
    value = on ? (value | ZEL_EVF_OUTPUT_HOST) : (value & ~ZEL_EVF_OUTPUT_HOST);
    return ZelSetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, sizeof value, &value);
}

} // namespace

uint32_t StartRemoteShootingCommand::execute() {
    const ZelError result = SwitchRemoteShooting(m_pCamera->GetCamera(), 1);
    if (result != 0) {
        g_logger.Log("StartRemoteShootingCommand: error");
        m_pCamera->SetStatus(static_cast<unsigned int>(result));
        return result;
    }
    g_logger.Log("StartRemoteShootingCommand: remote shooting started");
    return 0;
}

uint32_t StopRemoteShootingCommand::execute() {
    const ZelError result = SwitchRemoteShooting(m_pCamera->GetCamera(), 0);
    if (result != 0) {
        g_logger.Log("StopRemoteShootingCommand: error");
        m_pCamera->SetStatus(static_cast<unsigned int>(result));
        return result;
    }
    g_logger.Log("StopRemoteShootingCommand: remote shooting stopped");
    return 0;
}

uint32_t StartEvfCommand::execute() {
    if (m_pCamera->GetStatus() >= Camera::EvfStarted) {
        g_logger.Log("StartEvfCommand: evf already started");
        return 0;
    }
    const ZelError error = SwitchEvfOutput(m_pCamera->GetCamera(), true);
    if (error != 0) {
        g_logger.Log("StartEvfCommand: error");
        m_pCamera->SetStatus(static_cast<unsigned int>(error));
        return error;
    }
    g_logger.Log("StartEvfCommand: evf started");
    // The SDK may have reported live view on already, on its own thread, and
    // the property handler set Streaming: that stays.
    m_pCamera->StoreStatusBelowStreaming(Camera::EvfStarted);
    return 0;
}

uint32_t StopEvfCommand::execute() {
    if (m_pCamera->GetStatus() <= Camera::SessionOpen) {
        g_logger.Log("StopEvfCommand: evf already stopped");
        return 0;
    }
    const ZelError error = SwitchEvfOutput(m_pCamera->GetCamera(), false);
    if (error != 0) {
        g_logger.Log("StopEvfCommand: error");
        m_pCamera->SetStatus(static_cast<unsigned int>(error));
        return error;
    }
    g_logger.Log("StopEvfCommand: evf stopped");
    return 0;
}

uint32_t DownloadEvfCommand::execute() {
    const Camera::Status status = m_pCamera->GetStatus();
    if (status == Camera::Disconnected || status == Camera::Busy) {
        // Read anew for every status download, so a replaced file takes
        // effect at once; an unreadable file still goes out, empty.
        EvfFrame frame;
        if (status == Camera::Disconnected)
            frame.LoadDisconnectedFrame();
        else
            frame.LoadBusyFrame();
        m_pCamera->SendFrame(frame.GetBuf(), frame.GetBufSize());
        g_logger.Log(status == Camera::Disconnected ? "DownloadEvfCommand: sent disconnected frame"
                                                    : "DownloadEvfCommand: sent busy frame");
    } else if (status != Camera::Streaming) {
        g_logger.Log("DownloadEvfCommand: not sending status frame since status is " +
                     std::to_string(static_cast<int32_t>(status)));
    }
    if (m_pCamera->GetStatus() != Camera::Streaming)
        return 0;

    __ZelObject* camera = m_pCamera->GetCamera();
    __ZelObject* stream = nullptr;
    __ZelObject* image = nullptr;
    ZelError error = ZelCreateMemoryStream(0, &stream);
    if (error == 0)
        error = ZelCreateEvfImageRef(stream, &image);
    if (error == 0)
        error = ZelDownloadEvfImage(camera, image);
    uint8_t* bytes = nullptr;
    if (error == 0)
        error = ZelGetPointer(stream, &bytes);
    if (error == 0 && bytes) {
        uint64_t length = 0;
        error = ZelGetLength(stream, &length);
        // Frames travel with signed 32-bit lengths; nothing larger is sent.
        if (error == 0 && length != 0 && length <= 0x7FFFFFFF)
            m_pCamera->SendFrame(bytes, static_cast<int>(length));
    }
    if (stream)
        ZelRelease(stream);
    if (image)
        ZelRelease(image);
    if (error == 0)
        return 0;
    if (error == ZEL_ERR_INTERNAL_ERROR)
        g_logger.Log("DownloadEvfCommand: ZEL_ERR_INTERNAL_ERROR");
    m_pCamera->SetStatus(static_cast<unsigned int>(error));
    return error;
}

uint32_t ExtendShutdownTimerCommand::execute() {
    const ZelError error = ZelSendCommand(m_pCamera->GetCamera(), ZEL_CMD_EXTEND_SHUTDOWN_TIMER,
                                          kExtendShutdownTimerParameter);
    if (error != 0) {
        g_logger.Log("ExtendShutdownTimerCommand: error");
        m_pCamera->SetStatus(static_cast<unsigned int>(error));
    } else {
        g_logger.Log("ExtendShutdownTimerCommand: shutdown timer extended");
    }
    return error;
}
