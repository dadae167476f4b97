// The state of the SDK in this process: the objects handed out, the cameras
// seen, the helper process that runs libgphoto2 for them, and the event
// thread that polls every camera in a session and calls the handlers. This
// process never loads libgphoto2.
//
// Cameras come from autodetection (USB and serial cameras that libgphoto2
// knows) and, for cameras that cannot be detected (PTP/IP on the network),
// from CVL_GPHOTO2_PORT with CVL_GPHOTO2_MODEL (default "PTP/IP Camera").
// CVL_GPHOTO2_SERIAL keeps only the detected USB camera with that serial
// number, wherever it is plugged in; a USB port in CVL_GPHOTO2_PORT keeps the
// camera seen there, on whichever port it comes back.
#ifndef ZELSDK_GPHOTO2_BACKEND_H
#define ZELSDK_GPHOTO2_BACKEND_H

#include "GphotoCamera.h"
#include "HelperLink.h"
#include "ObjectTable.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zelgp {

class Backend {
public:
    static Backend& Get();

    ZelError Initialize();
    ZelError Terminate();

    // With the lock held by the caller (Lock()).
    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(m_mutex); }
    bool Initialized() const { return m_initialized; }
    ObjectTable& Objects() { return m_objects; }
    // The camera of a camera reference, or null.
    std::shared_ptr<GphotoCamera> CameraOf(__ZelObject* ref);

    // Without the lock.
    ZelError NewCameraList(__ZelObject** outList);
    HelperLink& Link() { return m_link; }

    // Queues an event for the event thread (without the lock).
    void QueuePropertyEvent(const std::shared_ptr<GphotoCamera>& camera, uint32_t property);
    void QueueDisconnected(const std::shared_ptr<GphotoCamera>& camera);

private:
    struct Pending {
        std::shared_ptr<GphotoCamera> camera;
        bool state = false;
        uint32_t event = 0;
        uint32_t value = 0;
    };
    struct Known {
        std::shared_ptr<GphotoCamera> camera;
        uint64_t id = 0;
    };

    // A detected camera on port is listed (with the lock held).
    bool Wanted(const std::string& port);
    void Run();
    void Deliver(const Pending& pending);
    void Queue(Pending pending);

    std::mutex m_mutex;
    bool m_initialized = false;
    ObjectTable m_objects;
    std::map<std::string, Known> m_known; // by port
    HelperLink m_link;
    std::string m_configuredPort;
    std::string m_configuredModel;
    std::string m_configuredSerial;
    std::string m_namedSerial; // of the camera last seen on a named USB port

    std::mutex m_eventMutex;
    std::condition_variable m_wake;
    std::deque<Pending> m_pending;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace zelgp

#endif
