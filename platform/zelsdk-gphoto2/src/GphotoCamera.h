// One camera that libgphoto2 can reach: its model and port, and while a
// session is open the library's Camera. Every call into libgphoto2 for this
// camera is made under the camera's own lock (the library's Camera is not
// safe for several threads), never under the backend's.
//
// A camera whose connection broke while a session was open is lost: its
// session is ended and every later call gets ZEL_ERR_DEVICE_NOT_FOUND, as a
// camera that was unplugged; the next camera list holds a new camera for the
// same port.
#ifndef ZELSDK_GPHOTO2_GPHOTOCAMERA_H
#define ZELSDK_GPHOTO2_GPHOTOCAMERA_H

#include <ZelSDK/ZelSDK.h>

#include <gphoto2/gphoto2-abilities-list.h>
#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-context.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zelgp {

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
    ~GphotoCamera();
    GphotoCamera(const GphotoCamera&) = delete;
    GphotoCamera& operator=(const GphotoCamera&) = delete;

    const std::string& Model() const { return m_model; }
    const std::string& Port() const { return m_port; }

    // Outcome of a call that may find the connection broken: lostNow is set
    // when this very call found it so (the caller raises the state event).
    ZelError Open(GPContext* context, CameraAbilitiesList* abilities, GPPortInfoList* ports);
    ZelError Close(GPContext* context);
    ZelError GetProperty(uint32_t property, uint32_t& value);
    // evfChanged: the live-view bit changed, so a property event is due.
    ZelError SetProperty(GPContext* context, uint32_t property, uint32_t value, bool& evfChanged,
                         bool& lostNow);
    ZelError NeedSession();
    ZelError Download(GPContext* context, std::vector<uint8_t>& jpeg, bool& lostNow);
    // Takes the camera's pending events; true when the connection broke now.
    bool Poll(GPContext* context);
    // Ends a session that is still open (SDK shutdown).
    void Shutdown(GPContext* context);
    // No longer listed: without a session, calls get ZEL_ERR_DEVICE_NOT_FOUND
    // from now on.
    void Detach();
    bool Gone();

    Handlers GetHandlers();
    void SetHandlers(const Handlers& handlers);

private:
    ZelError Gate();
    // Ends the session after a broken connection; true the first time.
    bool MarkLost();
    void EndSession(GPContext* context, bool polite);
    int SetViewfinder(GPContext* context, bool on);

    const std::string m_model;
    const std::string m_port;
    std::mutex m_mutex;
    Camera* m_camera = nullptr;
    bool m_lost = false;
    bool m_detached = false;
    uint32_t m_saveTarget = 0;
    uint32_t m_evfOutput = 0;
    Handlers m_handlers;
    std::mutex m_handlersMutex;
};

} // namespace zelgp

#endif
