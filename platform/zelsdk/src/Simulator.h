// The camera simulator behind the ZelSDK calls: one process-wide instance
// holding the attached camera, the object table, the event thread, the
// frame source and the control socket for zelsim, and the operations that
// zelsim and the SDK calls share (plug, unplug, live view, lens).
//
// Lock rule: m_mutex guards the members from m_initialized to m_settings
// (the event queue included). The frame source, the call log and the failure
// injector have locks of their own, taken after m_mutex or alone. No handler
// runs and no transfer sleeps with m_mutex held.
#ifndef ZELSDK_SRC_SIMULATOR_H
#define ZELSDK_SRC_SIMULATOR_H

#include "CallLog.h"
#include "Camera.h"
#include "ControlServer.h"
#include "EventThread.h"
#include "FailureInjector.h"
#include "FrameSource.h"
#include "HandleTable.h"
#include "Settings.h"

#include <ZelSDK/ZelSDK.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace [[gnu::visibility("hidden")]] zelsdk {

class Simulator {
public:
    // Never destroyed: its threads may outlive the end of main.
    static Simulator& Get();

    // Reads the environment once per process, before the first
    // initialisation; m_mutex held.
    void ReadEnvironment();
    // Attaches the camera of ZELSIM_CAMERA and starts the event thread and the
    // control socket; succeeds doing nothing when initialised already.
    ZelError Initialize();
    // Drops the camera, every object, pending events and the control socket,
    // and waits for a running handler (unless called from inside it).
    ZelError Terminate();

    // ---- camera operations, m_mutex held
    void Plug(Model model);
    // Detaches the camera: its pending events are dropped, and state event
    // 769 follows when a session was open.
    void Unplug();
    // Ends live view at the camera, with property event 257 for 1280 when
    // notify is set.
    void StopLiveView(const std::shared_ptr<Camera>& camera, bool notify);
    // Moves the lens barrel (event 257 for 1541 when it changes); closing it
    // stops live view.
    void SetLens(const std::shared_ptr<Camera>& camera, uint32_t value);

    std::mutex m_mutex;
    bool m_initialized = false;
    HandleTable m_handles;
    std::shared_ptr<Camera> m_camera; // the attached one, null when none
    bool m_busy = false;              // another program holds the port
    uint64_t m_sequence = 0;          // of the last download, never reset
    uint64_t m_served = 0;
    FILE* m_sendLog = nullptr; // ZELSIM_SEND_LOG, open for the process's life
    EventThread m_events{m_mutex};
    Settings m_settings;
    FrameSource m_frames;

    CallLog m_log;
    FailureInjector m_failures;

private:
    Simulator() = default;

    // The zelsim command line answered with "OK\n" and the output,
    // "USAGE <message>\n" or "ERROR <message>\n".
    std::string Control(const std::string& line);
    std::string Status();

    bool m_environmentRead = false;
    ControlServer m_control;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
