#include "Backend.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

namespace zelgp {

namespace {

std::string Environment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// How often the event thread looks at the cameras in a session.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

} // namespace

Backend& Backend::Get() {
    static Backend* backend = new Backend();
    return *backend;
}

ZelError Backend::Initialize() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_initialized)
        return ZEL_ERR_OK;
    m_configuredPort = Environment("CVL_GPHOTO2_PORT", "");
    m_configuredModel = Environment("CVL_GPHOTO2_MODEL", "PTP/IP Camera");
    m_initialized = true;
    {
        std::lock_guard<std::mutex> events(m_eventMutex);
        m_stop = false;
    }
    m_thread = std::thread([this] { Run(); });
    // libgphoto2 loads its camera drivers in the helper meanwhile; a helper
    // that cannot start now is tried again with every call.
    m_link.Start();
    return ZEL_ERR_OK;
}

ZelError Backend::Terminate() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_initialized)
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    m_initialized = false;
    lock.unlock();
    {
        std::lock_guard<std::mutex> events(m_eventMutex);
        m_stop = true;
        m_pending.clear();
    }
    m_wake.notify_all();
    // From inside a handler the thread cannot wait for itself.
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
    lock.lock();
    std::vector<std::shared_ptr<GphotoCamera>> cameras;
    for (auto& entry : m_known)
        cameras.push_back(entry.second.camera);
    m_known.clear();
    m_objects.Clear();
    lock.unlock();
    for (auto& camera : cameras)
        camera->Shutdown(m_link);
    cameras.clear();
    m_link.Stop();
    return ZEL_ERR_OK;
}

std::shared_ptr<GphotoCamera> Backend::CameraOf(__ZelObject* ref) {
    Object* object = m_objects.Find(ref, Kind::Camera);
    return object ? object->camera : nullptr;
}

ZelError Backend::NewCameraList(__ZelObject** outList) {
    // Detection runs without the lock: it may take a while on USB.
    std::vector<std::pair<std::string, std::string>> found; // model, port
    if (!m_configuredPort.empty())
        found.emplace_back(m_configuredModel, m_configuredPort);
    WireWriter request;
    request.U8(static_cast<uint8_t>(Op::Detect));
    HelperLink::Answer answer;
    // Without a helper only the named camera is listed; opening it tells.
    if (m_link.Call(request, answer)) {
        WireReader in(answer.body.data(), answer.body.size());
        uint32_t count = 0;
        std::string model, port;
        if (in.U32(count))
            for (uint32_t i = 0; i < count && i < kMaxCameras && in.Text(model) && in.Text(port);
                 ++i)
                if (port != m_configuredPort)
                    found.emplace_back(model, port);
    }

    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_initialized)
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    std::set<std::string> listed;
    Object listObject;
    listObject.kind = Kind::List;
    for (const auto& [model, port] : found) {
        listed.insert(port);
        Known& known = m_known[port];
        if (known.camera && !known.camera->Gone() && known.camera->Model() == model &&
            m_objects.Alive(known.id)) {
            m_objects.RetainId(known.id);
        } else {
            Object cameraObject;
            cameraObject.kind = Kind::Camera;
            cameraObject.camera = std::make_shared<GphotoCamera>(model, port);
            known.camera = cameraObject.camera;
            known.id = m_objects.Add(std::move(cameraObject));
        }
        listObject.children.push_back(known.id);
    }
    for (auto it = m_known.begin(); it != m_known.end();) {
        if (listed.count(it->first)) {
            ++it;
            continue;
        }
        it->second.camera->Detach();
        it = m_known.erase(it);
    }
    *outList = ObjectTable::Token(m_objects.Add(std::move(listObject)));
    return ZEL_ERR_OK;
}

void Backend::QueuePropertyEvent(const std::shared_ptr<GphotoCamera>& camera, uint32_t property) {
    Queue({camera, false, ZEL_PROPERTY_EVENT_CHANGED, property});
}

void Backend::QueueDisconnected(const std::shared_ptr<GphotoCamera>& camera) {
    Queue({camera, true, ZEL_STATE_EVENT_DISCONNECTED, 0});
}

void Backend::Queue(Pending pending) {
    {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        if (m_stop)
            return;
        m_pending.push_back(std::move(pending));
    }
    m_wake.notify_all();
}

void Backend::Deliver(const Pending& pending) {
    const Handlers handlers = pending.camera->GetHandlers();
    if (pending.state && handlers.state)
        handlers.state(pending.event, pending.value, handlers.stateContext);
    else if (!pending.state && handlers.property)
        handlers.property(pending.event, pending.value, 0, handlers.propertyContext);
}

void Backend::Run() {
    auto nextPoll = std::chrono::steady_clock::now();
    for (;;) {
        std::deque<Pending> due;
        {
            std::unique_lock<std::mutex> lock(m_eventMutex);
            m_wake.wait_until(lock, nextPoll, [this] { return m_stop || !m_pending.empty(); });
            if (m_stop)
                return;
            due.swap(m_pending);
        }
        for (const Pending& pending : due)
            Deliver(pending);
        if (std::chrono::steady_clock::now() < nextPoll)
            continue;
        nextPoll = std::chrono::steady_clock::now() + kPollInterval;
        std::vector<std::shared_ptr<GphotoCamera>> cameras;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto& entry : m_known)
                cameras.push_back(entry.second.camera);
        }
        for (auto& camera : cameras) {
            std::vector<uint32_t> changed;
            if (camera->Poll(m_link, changed))
                QueueDisconnected(camera);
            for (uint32_t property : changed)
                QueuePropertyEvent(camera, property);
        }
    }
}

} // namespace zelgp
