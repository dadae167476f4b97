#include "Simulator.h"

#include <sstream>
#include <thread>
#include <vector>

namespace zelsdk {

Simulator& Simulator::Get() {
    static Simulator* instance = new Simulator;
    return *instance;
}

void Simulator::ReadEnvironment() {
    if (m_environmentRead)
        return;
    m_environmentRead = true;
    m_settings.Read(m_failures);
    m_frames.Configure(m_settings.width, m_settings.height, m_settings.framesFolder);
    if (!m_settings.sendLog.empty() && !(m_sendLog = std::fopen(m_settings.sendLog.c_str(), "ae")))
        std::fprintf(stderr, "zelsim: ZELSIM_SEND_LOG=%s cannot be written\n",
                     m_settings.sendLog.c_str());
}

ZelError Simulator::Initialize() {
    std::unique_lock<std::mutex> lock(m_mutex);
    ReadEnvironment();
    if (m_initialized)
        return ZEL_ERR_OK;
    m_initialized = true;
    m_busy = false;
    Model model;
    if (ParseModel(m_settings.startCamera, model))
        Plug(model);
    m_events.Start([this](const Pending& p) {
        if (p.camera->attached && p.camera->session)
            SetLens(p.camera, p.type == Pending::LensOpen ? 1 : 0);
    });
    lock.unlock();
    m_control.Start([this](const std::string& line) { return Control(line); });
    return ZEL_ERR_OK;
}

ZelError Simulator::Terminate() {
    std::thread events;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_initialized)
            return ZEL_ERR_SDK_NOT_INITIALIZED;
        m_initialized = false;
        m_handles.Clear();
        m_camera.reset();
        events = m_events.Stop();
    }
    m_control.Stop();
    m_frames.Stop();
    EventThread::Join(events);
    return ZEL_ERR_OK;
}

void Simulator::Plug(Model model) {
    m_camera = std::make_shared<Camera>();
    m_camera->model = model;
    m_camera->controls = Controls(model, m_settings.width, m_settings.height);
}

void Simulator::Unplug() {
    std::shared_ptr<Camera> c = m_camera;
    m_camera.reset();
    c->attached = false;
    m_events.Drop(c);
    bool hadSession = c->session;
    c->session = false;
    c->evfOn = false;
    if (hadSession)
        m_events.Schedule(c, Pending::State, ZEL_STATE_EVENT_DISCONNECTED, 0,
                          Clock::duration::zero());
}

void Simulator::StopLiveView(const std::shared_ptr<Camera>& camera, bool notify) {
    camera->evfOn = false;
    camera->evfOutput &= ~ZEL_EVF_OUTPUT_HOST;
    if (notify)
        m_events.Schedule(camera, Pending::Property, ZEL_PROPERTY_EVENT_CHANGED,
                          ZEL_PROP_EVF_OUTPUT, Clock::duration::zero());
}

void Simulator::SetLens(const std::shared_ptr<Camera>& camera, uint32_t value) {
    if (camera->lens == value)
        return;
    camera->lens = value;
    m_events.Schedule(camera, Pending::Property, ZEL_PROPERTY_EVENT_CHANGED, ZEL_PROP_LENS_BARREL,
                      Clock::duration::zero());
    if (value == 0 && camera->evfOn)
        StopLiveView(camera, true);
}

std::string Simulator::Status() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::ostringstream s;
    std::shared_ptr<Camera> c = m_camera;
    s << "attached: " << (c ? "yes" : "no") << "\n";
    s << "model: " << (c ? ModelName(c->model) : "none") << "\n";
    s << "busy: " << (m_busy ? "yes" : "no") << "\n";
    s << "session: " << (c && c->session ? "open" : "closed") << "\n";
    s << "live view: " << (c && c->evfOn ? "on" : "off") << "\n";
    s << "lens: " << (c && c->model == Model::Lumidrift ? (c->lens ? "open" : "closed") : "none")
      << "\n";
    s << "frames served: " << m_served << "\n";
    s << "size: " << m_settings.SizeText() << "\n";
    s << "source: " << m_frames.Describe() << "\n";
    s << "settings: " << (c ? c->controls.Describe() : "none") << "\n";
    return s.str();
}

std::string Simulator::Control(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    std::string word;
    while (in >> word)
        w.push_back(word);
    const std::string usage = "USAGE unknown or malformed command: " + line + "\n";
    if (w.empty())
        return usage;
    const std::string& verb = w[0];
    // These take locks of their own.
    if (verb == "status" && w.size() == 1)
        return "OK\n" + Status();
    if (verb == "calls" && (w.size() == 1 || (w.size() == 2 && w[1] == "--clear")))
        return "OK\n" + m_log.Text(w.size() == 2);
    if (verb == "fail" && (w.size() == 3 || w.size() == 4)) {
        uint32_t code, count = 1;
        if (!FailureInjector::IsKnownCall(w[1]))
            return "ERROR unknown SDK call: " + w[1] + "\n";
        if (!ParseU32(w[2], code) || (w.size() == 4 && !ParseU32(w[3], count)))
            return "ERROR CODE and COUNT must be unsigned 32-bit numbers\n";
        m_failures.Set(w[1], code, count);
        return "OK\n";
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (verb == "plug" && w.size() <= 2) {
        Model model = Model::Standard;
        if (w.size() == 2 && !ParseModel(w[1], model))
            return "ERROR unknown camera model: " + w[1] + "\n";
        if (m_camera)
            return "ERROR a camera is attached already; unplug it first\n";
        Plug(model);
        return "OK\n";
    }
    if (verb == "unplug" && w.size() == 1) {
        if (!m_camera)
            return "ERROR no camera is attached\n";
        Unplug();
        return "OK\n";
    }
    if (verb == "busy" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        m_busy = w[1] == "on";
        return "OK\n";
    }
    if (verb == "evf" && w.size() == 2 && w[1] == "off") {
        if (!m_camera || !m_camera->evfOn)
            return "ERROR live view is not running\n";
        StopLiveView(m_camera, true);
        return "OK\n";
    }
    if (verb == "lens" && w.size() == 2 && (w[1] == "open" || w[1] == "close")) {
        if (!m_camera || m_camera->model != Model::Lumidrift)
            return "ERROR no camera with a lens barrel is attached\n";
        SetLens(m_camera, w[1] == "open" ? 1 : 0);
        return "OK\n";
    }
    if (verb == "set" && w.size() == 3) {
        // A change made on the camera body: the property event follows.
        const uint32_t property = Controls::PropertyByName(w[1]);
        uint32_t value = 0;
        const bool negative = !w[2].empty() && w[2][0] == '-';
        if (!property)
            return "ERROR unknown setting: " + w[1] + "\n";
        if (!ParseU32(negative ? w[2].substr(1) : w[2], value))
            return "ERROR VALUE must be a 32-bit number as the SDK holds it\n";
        if (negative)
            value = static_cast<uint32_t>(-static_cast<int64_t>(value));
        if (!m_camera || !m_camera->controls.Has(property))
            return "ERROR no camera with that setting is attached\n";
        bool changed = false;
        if (m_camera->controls.Set(property, value, changed) != ZEL_ERR_OK)
            return "ERROR the camera does not allow that value\n";
        if (changed)
            m_events.Schedule(m_camera, Pending::Property, ZEL_PROPERTY_EVENT_CHANGED, property,
                              Clock::duration::zero());
        return "OK\n";
    }
    if (verb == "shutdown-soon" && w.size() == 1) {
        if (!m_camera)
            return "ERROR no camera is attached\n";
        m_events.Schedule(m_camera, Pending::State, ZEL_STATE_EVENT_SHUTDOWN_SOON, 0,
                          Clock::duration::zero());
        return "OK\n";
    }
    return usage;
}

} // namespace zelsdk
