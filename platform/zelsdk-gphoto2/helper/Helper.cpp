#include "Helper.h"

#include "GphotoErrors.h"

#include <gphoto2/gphoto2-file.h>
#include <gphoto2/gphoto2-list.h>
#include <gphoto2/gphoto2-result.h>
#include <gphoto2/gphoto2-widget.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelgp {

namespace {

// Descriptors that may come and go beside the sessions' sockets (the port
// list's libraries, a settings file) before the helper retires.
constexpr int kDescriptorSlack = 16;
// A burst of oversized frames that lasts longer is reported again.
constexpr auto kReportInterval = std::chrono::seconds(60);

} // namespace

int CountDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1; // the directory's own
}

Helper::Helper() {
    m_context = gp_context_new();
    if (m_context && (gp_abilities_list_new(&m_abilities) < GP_OK ||
                      gp_abilities_list_load(m_abilities, m_context) < GP_OK)) {
        if (m_abilities)
            gp_abilities_list_free(m_abilities);
        m_abilities = nullptr;
    }
    if (m_context)
        gp_context_set_error_func(
            m_context,
            [](GPContext*, const char* text, void* data) {
                auto* errors = static_cast<ContextErrors*>(data);
                // A few lines a call at most; bounded all the same.
                if (text && errors->messages.size() < 16)
                    errors->messages.emplace_back(text);
            },
            &m_errors);
    m_baseDescriptors = CountDescriptors();
}

Helper::~Helper() {
    for (auto& [port, camera] : m_sessions) {
        gp_camera_exit(camera, m_context);
        gp_camera_free(camera);
    }
    if (m_ports)
        gp_port_info_list_free(m_ports);
    if (m_abilities)
        gp_abilities_list_free(m_abilities);
    if (m_context)
        gp_context_unref(m_context);
}

GPPortInfoList* Helper::Ports() {
    GPPortInfoList* ports = nullptr;
    if (gp_port_info_list_new(&ports) < GP_OK)
        return m_ports;
    if (gp_port_info_list_load(ports) < GP_OK) {
        gp_port_info_list_free(ports);
        return m_ports;
    }
    if (m_ports)
        gp_port_info_list_free(m_ports);
    m_ports = ports;
    return m_ports;
}

bool Helper::Serve(const std::vector<uint8_t>& request, WireWriter& answer) {
    WireReader in(request.data(), request.size());
    uint8_t op = 0;
    std::string port;
    if (!in.U8(op))
        return false;
    if (op == static_cast<uint8_t>(Op::Detect)) {
        if (!in.AtEnd())
            return false;
        Detect(answer);
        return true;
    }
    std::string model;
    uint8_t flag = 0;
    uint32_t id = 0, value = 0;
    if (op == static_cast<uint8_t>(Op::Open) && !in.Text(model))
        return false;
    if (!in.Text(port))
        return false;
    const Op kind = static_cast<Op>(op);
    const bool withFlag = kind == Op::Close || kind == Op::Viewfinder || kind == Op::End;
    const bool withId = kind == Op::GetSetting || kind == Op::SetSetting || kind == Op::Describe ||
                        kind == Op::Command;
    const bool withValue = kind == Op::SetSetting || kind == Op::Command;
    if ((withFlag && !in.U8(flag)) || (withId && !in.U32(id)) || (withValue && !in.U32(value)) ||
        !in.AtEnd())
        return false;

    Outcome outcome;
    std::vector<uint8_t> frame;
    std::vector<uint32_t> changed;
    WireWriter body;
    switch (kind) {
    case Op::Open:
        outcome.error = Open(model, port);
        break;
    case Op::Close:
        outcome.error = Close(port, flag != 0);
        break;
    case Op::Viewfinder:
        outcome = Viewfinder(port, flag != 0);
        break;
    case Op::Download:
        outcome = Download(port, frame);
        break;
    case Op::Poll:
        outcome = Poll(port, changed);
        break;
    case Op::End:
        End(port, flag != 0);
        break;
    case Op::GetSetting:
    case Op::SetSetting:
    case Op::Describe:
    case Op::Command:
        outcome = Setting(kind, port, id, value, body);
        break;
    default:
        return false;
    }
    CheckDescriptors();
    answer.U32(outcome.error);
    answer.U8(static_cast<uint8_t>((outcome.lost ? kAnswerLost : 0) |
                                   (m_retiring ? kAnswerRetiring : 0)));
    if (kind == Op::Download)
        answer.Bytes(frame.data(), frame.size());
    if (kind == Op::Poll) {
        answer.U32(static_cast<uint32_t>(changed.size()));
        for (uint32_t property : changed)
            answer.U32(property);
    }
    answer.Append(body);
    return true;
}

void Helper::CheckDescriptors() {
    if (m_sessions.empty() && CountDescriptors() > m_baseDescriptors + kDescriptorSlack)
        m_retiring = true;
}

void Helper::Detect(WireWriter& answer) {
    std::vector<std::pair<std::string, std::string>> found;
    GPPortInfoList* ports = Ports();
    CameraList* list = nullptr;
    if (ports && gp_list_new(&list) >= GP_OK) {
        if (gp_abilities_list_detect(m_abilities, ports, list, m_context) >= GP_OK) {
            const int count = gp_list_count(list);
            for (int i = 0; i < count && found.size() < kMaxCameras; ++i) {
                const char* model = nullptr;
                const char* port = nullptr;
                gp_list_get_name(list, i, &model);
                gp_list_get_value(list, i, &port);
                // "usb:" alone is the generic entry, not a camera.
                if (model && port && std::strcmp(port, "usb:") != 0)
                    found.emplace_back(model, port);
            }
        }
        gp_list_free(list);
    }
    CheckDescriptors();
    answer.U32(0);
    answer.U8(m_retiring ? kAnswerRetiring : 0);
    answer.U32(static_cast<uint32_t>(found.size()));
    for (const auto& [model, port] : found) {
        answer.Text(model);
        answer.Text(port);
    }
}

int Helper::Init(const std::string& modelName, const std::string& portName, Camera*& camera) {
    camera = nullptr;
    const int model = gp_abilities_list_lookup_model(m_abilities, modelName.c_str());
    if (model < GP_OK)
        return model;
    CameraAbilities wanted;
    int result = gp_abilities_list_get_abilities(m_abilities, model, &wanted);
    GPPortInfoList* ports = Ports();
    const int port = result < GP_OK ? result
                     : ports        ? gp_port_info_list_lookup_path(ports, portName.c_str())
                                    : GP_ERROR_UNKNOWN_PORT;
    GPPortInfo info;
    if (result >= GP_OK)
        result = port < GP_OK ? port : gp_port_info_list_get_info(ports, port, &info);
    if (result >= GP_OK)
        result = gp_camera_new(&camera);
    if (result >= GP_OK)
        result = gp_camera_set_abilities(camera, wanted);
    if (result >= GP_OK)
        result = gp_camera_set_port_info(camera, info);
    if (result >= GP_OK)
        result = gp_camera_init(camera, m_context);
    if (result < GP_OK && camera) {
        gp_camera_free(camera);
        camera = nullptr;
    }
    return result;
}

uint32_t Helper::Open(const std::string& modelName, const std::string& portName) {
    if (m_sessions.count(portName))
        return ZEL_ERR_OK;
    Camera* camera = nullptr;
    const int result = Init(modelName, portName, camera);
    if (result < GP_OK) {
        // A camera driver that fails its initialisation half way leaves its
        // connection's sockets open (libgphoto2's PTP/IP driver does): with
        // no session left to keep, the helper ends and takes them along.
        if (m_sessions.empty())
            m_retiring = true;
        return MapError(result, Step::Open);
    }
    m_sessions[portName] = camera;
    m_models[portName] = modelName;
    m_settings.erase(portName);
    m_settings.emplace(portName, Settings(camera, m_context, &m_errors));
    return ZEL_ERR_OK;
}

uint32_t Helper::Close(const std::string& port, bool viewfinderOff) {
    auto it = m_sessions.find(port);
    if (it == m_sessions.end())
        return ZEL_ERR_SESSION_NOT_OPEN;
    if (viewfinderOff)
        SetViewfinder(it->second, false);
    gp_camera_exit(it->second, m_context);
    gp_camera_free(it->second);
    m_sessions.erase(it);
    m_models.erase(port);
    m_settings.erase(port);
    return ZEL_ERR_OK;
}

void Helper::End(const std::string& port, bool polite) {
    auto it = m_sessions.find(port);
    if (it == m_sessions.end())
        return;
    if (polite)
        gp_camera_exit(it->second, m_context);
    gp_camera_free(it->second);
    m_sessions.erase(it);
    m_models.erase(port);
    m_settings.erase(port);
}

int Helper::SetViewfinder(Camera* camera, bool on) {
    CameraWidget* widget = nullptr;
    int result = gp_camera_get_single_config(camera, "viewfinder", &widget, m_context);
    if (result < GP_OK)
        return result;
    int value = on ? 1 : 0;
    result = gp_widget_set_value(widget, &value);
    if (result >= GP_OK)
        result = gp_camera_set_single_config(camera, "viewfinder", widget, m_context);
    gp_widget_free(widget);
    return result;
}

Helper::Outcome Helper::Viewfinder(const std::string& port, bool on) {
    auto it = m_sessions.find(port);
    if (it == m_sessions.end())
        return {ZEL_ERR_SESSION_NOT_OPEN, false};
    // A camera without a viewfinder setting starts live view with its first
    // preview: only a broken connection fails the write.
    const int result = SetViewfinder(it->second, on);
    if (result < GP_OK && ConnectionLost(result) && result != GP_ERROR) {
        End(port, false);
        return {ZEL_ERR_DEVICE_NOT_FOUND, true};
    }
    return {ZEL_ERR_OK, false};
}

int Helper::Preview(Camera* camera, std::vector<uint8_t>& frame) {
    CameraFile* file = nullptr;
    int result = gp_file_new(&file);
    if (result >= GP_OK)
        result = gp_camera_capture_preview(camera, file, m_context);
    const char* data = nullptr;
    unsigned long size = 0;
    if (result >= GP_OK)
        result = gp_file_get_data_and_size(file, &data, &size);
    if (result >= GP_OK && data && size > kMaxFrameBytes) {
        ReportOversized(size);
        // An oversized frame is not passed on: the next one may fit.
        result = GP_ERROR_CAMERA_BUSY;
    } else if (result >= GP_OK && data && size > 0) {
        m_inBurst = false;
        frame.assign(reinterpret_cast<const uint8_t*>(data),
                     reinterpret_cast<const uint8_t*>(data) + size);
    }
    if (file)
        gp_file_unref(file);
    return result;
}

Helper::Outcome Helper::Download(const std::string& port, std::vector<uint8_t>& frame) {
    auto it = m_sessions.find(port);
    if (it == m_sessions.end())
        return {ZEL_ERR_SESSION_NOT_OPEN, false};
    int result = Preview(it->second, frame);
    // Some bodies leave live view when a setting changes (or take a while
    // to show it again): live view is brought back once, and the frame
    // asked again. A broken connection fails the restart too.
    auto settings = m_settings.find(port);
    if (result < GP_OK && result != GP_ERROR_CAMERA_BUSY && settings != m_settings.end() &&
        settings->second.ChangedRecently()) {
        std::fprintf(stderr, "zelsdk-gphoto2: live view stopped after a setting changed; "
                             "starting it again\n");
        settings->second.ForgetChange();
        result = RestartLiveView(port);
        it = m_sessions.find(port);
        // A session that could not be opened again is lost.
        if (it == m_sessions.end())
            return {ZEL_ERR_DEVICE_NOT_FOUND, true};
        if (result >= GP_OK)
            result = Preview(it->second, frame);
    }
    if (result < GP_OK && ConnectionLost(result)) {
        End(port, false);
        return {ZEL_ERR_DEVICE_NOT_FOUND, true};
    }
    return {MapError(result, Step::Download), false};
}

int Helper::RestartLiveView(const std::string& port) {
    Camera* camera = m_sessions[port];
    CameraWidget* widget = nullptr;
    const bool switchable =
        gp_camera_get_single_config(camera, "viewfinder", &widget, m_context) >= GP_OK && widget;
    if (widget)
        gp_widget_free(widget);
    if (switchable) {
        SetViewfinder(camera, false);
        return SetViewfinder(camera, true);
    }
    // Bodies whose live view the host cannot switch show it again in a new
    // session.
    gp_camera_exit(camera, m_context);
    gp_camera_free(camera);
    m_sessions.erase(port);
    Camera* again = nullptr;
    const int result = Init(m_models[port], port, again);
    if (result < GP_OK) {
        m_models.erase(port);
        m_settings.erase(port);
        // As after a failed open: what the driver left behind goes with
        // the helper.
        if (m_sessions.empty())
            m_retiring = true;
        return result;
    }
    m_sessions[port] = again;
    m_settings.at(port).Rebind(again);
    return result;
}

void Helper::ReportOversized(size_t size) {
    // One line a burst: the first oversized frame after a good one, or after
    // a minute; the rest are counted into the next line.
    const auto now = std::chrono::steady_clock::now();
    if (m_inBurst && now - m_lastReport < kReportInterval) {
        ++m_unreported;
        return;
    }
    std::fprintf(stderr,
                 "zelsdk-gphoto2: live-view frame of %zu bytes dropped, over the bound of %zu "
                 "(%llu more dropped since the last report)\n",
                 size, kMaxFrameBytes, static_cast<unsigned long long>(m_unreported));
    m_inBurst = true;
    m_lastReport = now;
    m_unreported = 0;
}

Helper::Outcome Helper::Poll(const std::string& port, std::vector<uint32_t>& changed) {
    auto it = m_sessions.find(port);
    if (it == m_sessions.end())
        return {ZEL_ERR_SESSION_NOT_OPEN, false};
    Settings& settings = m_settings.at(port);
    auto note = [&changed](uint32_t property) {
        if (property && changed.size() < kMaxChanged &&
            std::find(changed.begin(), changed.end(), property) == changed.end())
            changed.push_back(property);
    };
    // Drains what the camera queued, without waiting for more.
    for (int i = 0; i < 16; ++i) {
        CameraEventType type = GP_EVENT_UNKNOWN;
        void* data = nullptr;
        const int result = gp_camera_wait_for_event(it->second, 1, &type, &data, m_context);
        // A property the camera changed by itself: libgphoto2 tells it in
        // the text of an event it has no type for.
        if (result >= GP_OK && type == GP_EVENT_UNKNOWN && data)
            note(settings.Noticed(static_cast<const char*>(data)));
        if (type == GP_EVENT_FILE_ADDED || type == GP_EVENT_FOLDER_ADDED ||
            type == GP_EVENT_FILE_CHANGED || type == GP_EVENT_UNKNOWN)
            std::free(data);
        if (result < GP_OK) {
            if (!ConnectionLost(result))
                break;
            End(port, false);
            return {ZEL_ERR_DEVICE_NOT_FOUND, true};
        }
        if (type == GP_EVENT_TIMEOUT)
            break;
    }
    std::vector<uint32_t> again;
    bool lost = false;
    settings.Recheck(again, lost);
    for (uint32_t property : again)
        note(property);
    if (lost) {
        End(port, false);
        return {ZEL_ERR_DEVICE_NOT_FOUND, true};
    }
    return {ZEL_ERR_OK, false};
}

Helper::Outcome Helper::Setting(Op op, const std::string& port, uint32_t id, uint32_t value,
                                WireWriter& answer) {
    auto it = m_settings.find(port);
    if (it == m_settings.end())
        return {ZEL_ERR_SESSION_NOT_OPEN, false};
    Settings& settings = it->second;
    Outcome outcome;
    uint32_t read = 0;
    std::vector<uint32_t> values;
    switch (op) {
    case Op::GetSetting:
        outcome.error = settings.Get(id, read, outcome.lost);
        answer.U32(read);
        break;
    case Op::SetSetting:
        outcome.error = settings.Set(id, value, outcome.lost);
        break;
    case Op::Describe:
        outcome.error = settings.Describe(id, values, outcome.lost);
        answer.U32(static_cast<uint32_t>(values.size()));
        for (uint32_t allowed : values)
            answer.U32(allowed);
        break;
    default:
        outcome.error = settings.Command(id, static_cast<int32_t>(value), outcome.lost);
        break;
    }
    if (outcome.lost) {
        End(port, false);
        outcome.error = ZEL_ERR_DEVICE_NOT_FOUND;
    }
    return outcome;
}

} // namespace zelgp
