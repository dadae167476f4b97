// One camera that libgphoto2 can reach: its model and port, and whether a
// session is open for it in the helper process. The camera settings (ISO to
// live-view zoom) and the focus commands are the helper's; the save target
// and the live-view output are kept here. Calls for one camera are made
// under the camera's own lock, never under the backend's; the helper does
// the libgphoto2 work.
//
// A camera whose connection broke while a session was open is lost: its
// session is ended and every later call gets ZEL_ERR_DEVICE_NOT_FOUND, as a
// camera that was unplugged; the next camera list holds a new camera for the
// same port. A session also breaks when the helper that held it ends.
#ifndef ZELSDK_GPHOTO2_GPHOTOCAMERA_H
#define ZELSDK_GPHOTO2_GPHOTOCAMERA_H

#include "Wire.h"

#include <ZelSDK/ZelSDK.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zelgp {

class HelperLink;

struct Handlers {
    ZelPropertyEventHandler property = nullptr;
    void* propertyContext = nullptr;
    ZelObjectEventHandler object = nullptr;
    void* objectContext = nullptr;
    ZelStateEventHandler state = nullptr;
    void* stateContext = nullptr;
};

class GphotoCamera {
public:
    GphotoCamera(std::string model, std::string port);
    GphotoCamera(const GphotoCamera&) = delete;
    GphotoCamera& operator=(const GphotoCamera&) = delete;

    const std::string& Model() const { return m_model; }
    const std::string& Port() const { return m_port; }

    // lostNow is set when this very call found the session broken (the
    // caller raises the state event).
    ZelError Open(HelperLink& link, bool& lostNow);
    ZelError Close(HelperLink& link, bool& lostNow);
    ZelError GetProperty(HelperLink& link, uint32_t property, uint32_t& value, bool& lostNow);
    // evfChanged: the live-view bit changed, so a property event is due.
    ZelError SetProperty(HelperLink& link, uint32_t property, uint32_t value, bool& evfChanged,
                         bool& lostNow);
    // The allowed values of a setting.
    ZelError Describe(HelperLink& link, uint32_t property, ZelPropertyDesc& desc, bool& lostNow);
    // Autofocus and focus drive.
    ZelError Command(HelperLink& link, uint32_t command, int32_t parameter, bool& lostNow);
    ZelError NeedSession(HelperLink& link, bool& lostNow);
    ZelError Download(HelperLink& link, std::vector<uint8_t>& jpeg, bool& lostNow);
    // Takes the camera's pending events, the settings that changed on the
    // camera into changed; true when the connection broke now.
    bool Poll(HelperLink& link, std::vector<uint32_t>& changed);
    // Ends a session that is still open (SDK shutdown).
    void Shutdown(HelperLink& link);
    // No longer listed: without a session, calls get ZEL_ERR_DEVICE_NOT_FOUND
    // from now on.
    void Detach();
    bool Gone();

    Handlers GetHandlers();
    void SetHandlers(const Handlers& handlers);

private:
    ZelError Gate(HelperLink& link, bool& lostNow);
    // One request for the session (after Gate): the helper's error, or
    // ZEL_ERR_DEVICE_NOT_FOUND when the session broke.
    ZelError Ask(HelperLink& link, const WireWriter& request, std::vector<uint8_t>& body,
                 bool& lostNow);
    // Ends the session after a broken connection; true the first time.
    bool MarkLost();

    const std::string m_model;
    const std::string m_port;
    std::mutex m_mutex;
    bool m_session = false;
    uint64_t m_generation = 0; // the helper that holds the session
    bool m_lost = false;
    bool m_detached = false;
    uint32_t m_saveTarget = 0;
    uint32_t m_evfOutput = 0;
    Handlers m_handlers;
    std::mutex m_handlersMutex;
};

} // namespace zelgp

#endif
