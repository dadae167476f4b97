// The one camera that the service drives: its SDK reference, its connection
// status, and the command processor that runs every camera command.
//
// Camera methods only queue commands; the SDK's event handlers turn camera
// events into status changes and further commands. The status is the
// service's single record of how far the camera has come (found, session
// open, live view on) or why it cannot be used (busy, disconnected).
#ifndef CVL_SERVICE_CAMERA_H
#define CVL_SERVICE_CAMERA_H

#include "CameraSettings.h"
#include "Command.h"
#include "CommandProcessor.h"

#include <ZelSDK/ZelSDK.h>

#include <pthread.h>

#include <atomic>
#include <vector>

class CameraController;

class Camera {
public:
    // Compared by order: below Initialized the controller may connect, only
    // Streaming downloads frames, Busy and Disconnected send status frames.
    enum Status : int32_t {
        Idle = 0,
        Busy = 2,
        Disconnected = 3,
        Initialized = 4,
        SessionOpen = 5,
        EvfStarted = 6,
        Streaming = 7,
    };

    Camera();
    ~Camera();

    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    __ZelObject* GetCamera() const { return m_cameraRef.load(); }
    // Takes over the reference. A reference it replaces is kept until the
    // camera is destroyed, since a running command or an event handler may
    // still be using it.
    void SetCamera(__ZelObject* camera);
    CameraController* GetCameraController() const { return m_pCameraController; }
    void SetCameraController(CameraController* controller) { m_pCameraController = controller; }
    bool IsLumidrift() const { return m_isLumidrift.load(); }
    void IsLumidrift(bool isLumidrift) { m_isLumidrift = isLumidrift; }
    bool StopEvfCalled() const { return m_stopEvfCalled; }
    void StopEvfCalled(bool called) { m_stopEvfCalled = called; }

    // Queue one command each.
    void OpenSession();
    void CloseSession();
    void StartRemoteShooting();
    void StopRemoteShooting();
    void StartEvf();
    void StopEvf();
    void DownloadEvf();
    void ExtendShutdownTimer();

    // The settings table, which the request listener answers from.
    CameraSettings& Settings() { return m_settings; }
    // Queue the settings' commands (CameraSettings decides when).
    void QueueSettingChange(int id);
    void QueueSettingAction();

    void ClearCommandQueue();
    void EnableFrameGrabber(bool enable);
    void SendFrame(unsigned char* bytes, int length);

    Status GetStatus();
    // Stores the status, except that an error status already held stays when
    // another error status comes. Queues one status frame download whenever
    // the status held is Busy or Disconnected.
    void SetStatus(Status status);
    // Maps a non-zero SDK code to a status and logs it; 41218 changes nothing.
    void SetStatus(unsigned int error);
    // Stores the status as it is, without the error rule and queuing nothing:
    // what the commands and the property handler do.
    void StoreStatus(Status status);
    // Stores the status unless the camera is already streaming: the event
    // that a command caused may be handled before the command finishes.
    void StoreStatusBelowStreaming(Status status);

    // The command processor, for the controller's orderly shutdown: stops its
    // worker once the pending closing commands have run, or after timeoutMs.
    void StopCommandProcessor(int timeoutMs);
    // After this returns no event handler runs for this camera any more, and
    // none is running.
    void DisableEvents();

    static ZelError HandlePropertyEvent(uint32_t event, uint32_t property, uint32_t parameter,
                                        void* context);
    static ZelError HandleStateEvent(uint32_t event, uint32_t parameter, void* context);
    static ZelError HandleObjectEvent(uint32_t event, __ZelObject* object, void* context);

private:
    void PropertyEvent(uint32_t event, uint32_t property);
    void StateEvent(uint32_t event);

    // Written by the controller's thread while it connects, read by the
    // command worker and the event handlers at every SDK call.
    std::atomic<__ZelObject*> m_cameraRef{nullptr};
    std::atomic<bool> m_isLumidrift{false};
    std::atomic<bool> m_stopEvfCalled{false};
    CameraController* m_pCameraController = nullptr;
    Status m_status = Idle;
    pthread_mutex_t m_statusMutex = PTHREAD_MUTEX_INITIALIZER;
    // Before the command processor: the commands that it discards when it
    // is destroyed tell the table.
    CameraSettings m_settings{this};
    CommandProcessor m_commandProcessor;
    // References replaced by SetCamera, given back when the camera goes.
    std::vector<__ZelObject*> m_replacedRefs;
};

// The camera commands, run one at a time on the command processor's thread.
// Each returns the SDK code of the step that failed, or 0.
class OpenSessionCommand : public Command {
public:
    using Command::Command;
    uint32_t execute() override;
};

class CloseSessionCommand : public Command {
public:
    using Command::Command;
    uint32_t execute() override;
};

class StartRemoteShootingCommand : public Command {
public:
    using Command::Command;
    uint32_t execute() override;
};

class StopRemoteShootingCommand : public Command {
public:
    using Command::Command;
    uint32_t execute() override;
};

class StartEvfCommand : public Command {
public:
    using Command::Command;
    uint32_t execute() override;
};

class StopEvfCommand : public Command {
public:
    using Command::Command;
    uint32_t execute() override;
};

class DownloadEvfCommand : public Command {
public:
    using Command::Command;
    uint32_t execute() override;
};

class ExtendShutdownTimerCommand : public Command {
public:
    using Command::Command;
    uint32_t execute() override;
};

#endif
