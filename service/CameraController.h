// The core of the service: turns client requests into frame senders and
// camera actions on a thread of its own, reconnects the camera while clients
// wait, and hands every downloaded frame to the one activated sender.
//
// It embeds the camera (with its command processor), the request listener
// and the frame grabber, and owns every sender in its list.
#ifndef CVL_SERVICE_CAMERACONTROLLER_H
#define CVL_SERVICE_CAMERACONTROLLER_H

#include "Camera.h"
#include "FrameGrabber.h"
#include "FrameSender.h"
#include "RequestListener.h"
#include "RequestQueue.h"

#include <pthread.h>

#include <cstdint>
#include <deque>
#include <list>
#include <string>

class CameraController {
public:
    explicit CameraController(bool sandboxMode);
    ~CameraController();

    CameraController(const CameraController&) = delete;
    CameraController& operator=(const CameraController&) = delete;

    static void* Thread(void* controller);

    // Queues one request text from the given process (-1: not known); the
    // controller thread handles one per pass, in arrival order while no
    // process has more than one waiting, else taking turns between the
    // processes (RequestQueue). An overlong text is dropped.
    void AddRequest(std::string request, long process = -1);
    // The next request in turn, or the empty text when none waits.
    std::string GetRequest();
    // The reply to a settings request (CameraSettings), at once, on the
    // request listener's thread.
    std::string AnswerSettingsRequest(const std::string& command);

    // Finds the first camera and queues the session commands, unless a
    // connection is already under way.
    void StartStreaming();
    // Stops the downloads and queues the closing commands.
    void StopStreaming();

    // At most this many senders exist at once: each has a thread of its own.
    static constexpr size_t kMaxFrameSenders = 64;

    // The new sender, or null when one with that identifier exists or
    // kMaxFrameSenders do (logged once per burst).
    FrameSender* AddFrameSender(std::string id, bool sandboxMode);
    void RemoveFrameSender(std::string id);
    // Hands one frame to the activated sender, dropping failed ones on the
    // way; stops streaming when nobody took it.
    void SendFrame(unsigned char* bytes, int length);

    void DownloadEvf();
    void EnableFrameGrabber(bool enable);

    // Whether a host application that needs the sandbox frame files runs.
    static bool SandboxAppRunning();

    bool Close();
    void Close(bool close);
    bool KeepRunning();
    Camera* GetCamera() { return &m_camera; }
    bool EnableSandboxMode() const { return m_sandboxMode; }

private:
    void KeepRunning(bool keepRunning);
    // One request; true when it counts as activity for the periodic check.
    bool HandleRequest(const std::string& request);
    // The reconnect and the sandbox stream, every 3 s of quiet.
    void PeriodicCheck(bool& sandboxStream);
    void DestroyFrameSenders();
    // Whether the client named id serves its frame port.
    static bool FramePortExists(const std::string& id);
    // Logs a refused sender, the first of its kind in a burst only.
    void RefuseFrameSender(bool& refusing, const std::string& line);
    // Logs a sender refused for want of a frame port, the first refusal of
    // each identifier in a burst only.
    void RefuseWithoutFramePort(const std::string& id);
    // A pass that found no request waiting ends a burst of refusals.
    void EndRefusals();

    pthread_t m_thread;
    bool m_threadStarted = false;
    bool m_keepRunning = false;
    pthread_mutex_t m_keepRunningMutex = PTHREAD_MUTEX_INITIALIZER;
    Camera m_camera;
    RequestListener m_requestListener;
    FrameGrabber m_frameGrabber;
    std::list<FrameSender*> m_frameSenders;
    pthread_mutex_t m_frameSendersMutex = PTHREAD_MUTEX_INITIALIZER;
    // The identifiers refused for want of a frame port, oldest first, at
    // most kMaxRefusedRemembered of them, and a flag set from the first
    // sender refused at kMaxFrameSenders; both until a pass finds no request
    // waiting: one line per identifier, and one for the cap, per burst.
    static constexpr size_t kMaxRefusedRemembered = 64;
    std::deque<std::string> m_refusedNoPort;
    bool m_refusingFull = false;
    pthread_mutex_t m_refusingMutex = PTHREAD_MUTEX_INITIALIZER;
    RequestQueue m_requests;
    // Set from the first request dropped at a full queue, and from the first
    // overlong one, until a pass finds the queue drained and nothing dropped
    // since the pass before: one line per burst.
    bool m_droppingRequests = false;
    bool m_droppingLong = false;
    bool m_droppedSincePass = false;
    pthread_mutex_t m_requestsMutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_close = false;
    pthread_mutex_t m_closeMutex = PTHREAD_MUTEX_INITIALIZER;
    const bool m_sandboxMode;
};

#endif
