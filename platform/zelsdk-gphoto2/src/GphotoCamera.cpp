#include "GphotoCamera.h"

#include "GphotoErrors.h"
#include "SigpipeGuard.h"

#include <gphoto2/gphoto2-file.h>
#include <gphoto2/gphoto2-port-info-list.h>
#include <gphoto2/gphoto2-result.h>
#include <gphoto2/gphoto2-widget.h>

#include <cstdlib>
#include <cstring>

namespace zelgp {

GphotoCamera::GphotoCamera(std::string model, std::string port)
    : m_model(std::move(model)), m_port(std::move(port)) {}

GphotoCamera::~GphotoCamera() {
    if (m_camera) {
        SigpipeGuard guard;
        gp_camera_free(m_camera);
    }
}

ZelError GphotoCamera::Gate() {
    if (m_lost || m_detached)
        return ZEL_ERR_DEVICE_NOT_FOUND;
    return m_camera ? ZEL_ERR_OK : ZEL_ERR_SESSION_NOT_OPEN;
}

bool GphotoCamera::MarkLost() {
    if (m_lost)
        return false;
    m_lost = true;
    EndSession(nullptr, false);
    return true;
}

void GphotoCamera::EndSession(GPContext* context, bool polite) {
    if (!m_camera)
        return;
    SigpipeGuard guard;
    if (polite)
        gp_camera_exit(m_camera, context);
    gp_camera_free(m_camera);
    m_camera = nullptr;
    m_evfOutput = 0;
}

ZelError GphotoCamera::Open(GPContext* context, CameraAbilitiesList* abilities,
                            GPPortInfoList* ports) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lost || m_detached)
        return ZEL_ERR_DEVICE_NOT_FOUND;
    if (m_camera)
        return ZEL_ERR_OK;
    SigpipeGuard guard;
    const int model = gp_abilities_list_lookup_model(abilities, m_model.c_str());
    if (model < GP_OK)
        return MapError(model, Step::Open);
    CameraAbilities wanted;
    int result = gp_abilities_list_get_abilities(abilities, model, &wanted);
    const int port = result < GP_OK ? result : gp_port_info_list_lookup_path(ports, m_port.c_str());
    GPPortInfo info;
    if (result >= GP_OK)
        result = port < GP_OK ? port : gp_port_info_list_get_info(ports, port, &info);
    Camera* camera = nullptr;
    if (result >= GP_OK)
        result = gp_camera_new(&camera);
    if (result >= GP_OK)
        result = gp_camera_set_abilities(camera, wanted);
    if (result >= GP_OK)
        result = gp_camera_set_port_info(camera, info);
    if (result >= GP_OK)
        result = gp_camera_init(camera, context);
    if (result < GP_OK) {
        if (camera)
            gp_camera_free(camera);
        return MapError(result, Step::Open);
    }
    m_camera = camera;
    m_saveTarget = 0;
    m_evfOutput = 0;
    return ZEL_ERR_OK;
}

ZelError GphotoCamera::Close(GPContext* context) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (ZelError gate = Gate())
        return gate;
    if (m_evfOutput & ZEL_EVF_OUTPUT_HOST)
        SetViewfinder(context, false);
    EndSession(context, true);
    return ZEL_ERR_OK;
}

ZelError GphotoCamera::GetProperty(uint32_t property, uint32_t& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (property != ZEL_PROP_SAVE_TARGET && property != ZEL_PROP_EVF_OUTPUT)
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    if (ZelError gate = Gate())
        return gate;
    value = property == ZEL_PROP_SAVE_TARGET ? m_saveTarget : m_evfOutput;
    return ZEL_ERR_OK;
}

int GphotoCamera::SetViewfinder(GPContext* context, bool on) {
    CameraWidget* widget = nullptr;
    int result = gp_camera_get_single_config(m_camera, "viewfinder", &widget, context);
    if (result < GP_OK)
        return result;
    int value = on ? 1 : 0;
    result = gp_widget_set_value(widget, &value);
    if (result >= GP_OK)
        result = gp_camera_set_single_config(m_camera, "viewfinder", widget, context);
    gp_widget_free(widget);
    return result;
}

ZelError GphotoCamera::SetProperty(GPContext* context, uint32_t property, uint32_t value,
                                   bool& evfChanged, bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    evfChanged = false;
    lostNow = false;
    if (property != ZEL_PROP_SAVE_TARGET && property != ZEL_PROP_EVF_OUTPUT)
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    if (ZelError gate = Gate())
        return gate;
    if (property == ZEL_PROP_SAVE_TARGET) {
        m_saveTarget = value;
        return ZEL_ERR_OK;
    }
    const bool on = (value & ZEL_EVF_OUTPUT_HOST) != 0;
    if (on != ((m_evfOutput & ZEL_EVF_OUTPUT_HOST) != 0)) {
        SigpipeGuard guard;
        // A camera without a viewfinder setting starts live view with its
        // first preview: only a broken connection fails the write.
        const int result = SetViewfinder(context, on);
        if (result < GP_OK && ConnectionLost(result) && result != GP_ERROR) {
            lostNow = MarkLost();
            return ZEL_ERR_DEVICE_NOT_FOUND;
        }
        evfChanged = true;
    }
    m_evfOutput = value;
    return ZEL_ERR_OK;
}

ZelError GphotoCamera::NeedSession() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return Gate();
}

ZelError GphotoCamera::Download(GPContext* context, std::vector<uint8_t>& jpeg, bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    lostNow = false;
    if (ZelError gate = Gate())
        return gate;
    if (!(m_evfOutput & ZEL_EVF_OUTPUT_HOST))
        return ZEL_ERR_FRAME_NOT_READY;
    SigpipeGuard guard;
    CameraFile* file = nullptr;
    int result = gp_file_new(&file);
    if (result >= GP_OK)
        result = gp_camera_capture_preview(m_camera, file, context);
    const char* data = nullptr;
    unsigned long size = 0;
    if (result >= GP_OK)
        result = gp_file_get_data_and_size(file, &data, &size);
    if (result >= GP_OK && data && size > 0)
        jpeg.assign(reinterpret_cast<const uint8_t*>(data),
                    reinterpret_cast<const uint8_t*>(data) + size);
    if (file)
        gp_file_unref(file);
    if (result < GP_OK && ConnectionLost(result)) {
        lostNow = MarkLost();
        return ZEL_ERR_DEVICE_NOT_FOUND;
    }
    return MapError(result, Step::Download);
}

bool GphotoCamera::Poll(GPContext* context) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_camera || m_lost)
        return false;
    SigpipeGuard guard;
    // Drains what the camera queued, without waiting for more.
    for (int i = 0; i < 16; ++i) {
        CameraEventType type = GP_EVENT_UNKNOWN;
        void* data = nullptr;
        const int result = gp_camera_wait_for_event(m_camera, 1, &type, &data, context);
        if (type == GP_EVENT_FILE_ADDED || type == GP_EVENT_FOLDER_ADDED ||
            type == GP_EVENT_FILE_CHANGED || type == GP_EVENT_UNKNOWN)
            std::free(data);
        if (result < GP_OK)
            return ConnectionLost(result) ? MarkLost() : false;
        if (type == GP_EVENT_TIMEOUT)
            break;
    }
    return false;
}

void GphotoCamera::Shutdown(GPContext* context) {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndSession(context, !m_lost);
}

void GphotoCamera::Detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    // A camera in a session stays: its own calls tell when it is gone.
    if (!m_camera)
        m_detached = true;
}

bool GphotoCamera::Gone() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lost || m_detached;
}

Handlers GphotoCamera::GetHandlers() {
    std::lock_guard<std::mutex> lock(m_handlersMutex);
    return m_handlers;
}

void GphotoCamera::SetHandlers(const Handlers& handlers) {
    std::lock_guard<std::mutex> lock(m_handlersMutex);
    m_handlers = handlers;
}

} // namespace zelgp
