#include "GphotoCamera.h"

#include "HelperLink.h"

namespace zelgp {

namespace {

WireWriter Request(Op op, const std::string& port) {
    WireWriter request;
    request.U8(static_cast<uint8_t>(op));
    request.Text(port);
    return request;
}

WireWriter Request(Op op, const std::string& port, uint32_t id) {
    WireWriter request = Request(op, port);
    request.U32(id);
    return request;
}

bool IsSetting(uint32_t property) {
    switch (property) {
    case ZEL_PROP_ISO:
    case ZEL_PROP_APERTURE:
    case ZEL_PROP_SHUTTER_SPEED:
    case ZEL_PROP_EXPOSURE_COMPENSATION:
    case ZEL_PROP_WHITE_BALANCE:
    case ZEL_PROP_EVF_SIZE:
    case ZEL_PROP_EVF_ZOOM:
    case ZEL_PROP_EVF_ZOOM_POSITION:
        return true;
    default:
        return false;
    }
}

// The properties this backend has: the settings, and the two it keeps.
bool IsProperty(uint32_t property) {
    return property == ZEL_PROP_SAVE_TARGET || property == ZEL_PROP_EVF_OUTPUT ||
           IsSetting(property);
}

} // namespace

GphotoCamera::GphotoCamera(std::string model, std::string port)
    : m_model(std::move(model)), m_port(std::move(port)) {}

bool GphotoCamera::MarkLost() {
    if (m_lost)
        return false;
    m_lost = true;
    m_session = false;
    m_evfOutput = 0;
    return true;
}

ZelError GphotoCamera::Gate(HelperLink& link, bool& lostNow) {
    if (m_session && link.Generation() != m_generation)
        lostNow = MarkLost();
    if (m_lost || m_detached)
        return ZEL_ERR_DEVICE_NOT_FOUND;
    return m_session ? ZEL_ERR_OK : ZEL_ERR_SESSION_NOT_OPEN;
}

ZelError GphotoCamera::Ask(HelperLink& link, const WireWriter& request, std::vector<uint8_t>& body,
                           bool& lostNow) {
    HelperLink::Answer answer;
    if (!link.Call(request, answer) || (answer.flags & kAnswerLost)) {
        lostNow = MarkLost();
        return ZEL_ERR_DEVICE_NOT_FOUND;
    }
    body.swap(answer.body);
    return answer.error;
}

ZelError GphotoCamera::Open(HelperLink& link, bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    lostNow = false;
    const ZelError gate = Gate(link, lostNow);
    if (gate != ZEL_ERR_SESSION_NOT_OPEN)
        return gate;
    WireWriter request;
    request.U8(static_cast<uint8_t>(Op::Open));
    request.Text(m_model);
    request.Text(m_port);
    HelperLink::Answer answer;
    // No helper to open it in: as a camera that cannot be reached.
    if (!link.Call(request, answer))
        return ZEL_ERR_DEVICE_NOT_FOUND;
    if (answer.error != ZEL_ERR_OK)
        return answer.error;
    m_session = true;
    m_generation = answer.generation;
    m_saveTarget = 0;
    m_evfOutput = 0;
    return ZEL_ERR_OK;
}

ZelError GphotoCamera::Close(HelperLink& link, bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    lostNow = false;
    if (ZelError gate = Gate(link, lostNow))
        return gate;
    WireWriter request = Request(Op::Close, m_port);
    request.U8((m_evfOutput & ZEL_EVF_OUTPUT_HOST) ? 1 : 0);
    HelperLink::Answer answer;
    // The session is over whatever the camera answered.
    link.Call(request, answer);
    m_session = false;
    m_evfOutput = 0;
    return ZEL_ERR_OK;
}

ZelError GphotoCamera::GetProperty(HelperLink& link, uint32_t property, uint32_t& value,
                                   bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    lostNow = false;
    if (!IsProperty(property))
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    if (ZelError gate = Gate(link, lostNow))
        return gate;
    if (IsSetting(property)) {
        std::vector<uint8_t> body;
        if (ZelError e = Ask(link, Request(Op::GetSetting, m_port, property), body, lostNow))
            return e;
        WireReader in(body.data(), body.size());
        return in.U32(value) && in.AtEnd() ? ZEL_ERR_OK : ZEL_ERR_INTERNAL_ERROR;
    }
    value = property == ZEL_PROP_SAVE_TARGET ? m_saveTarget : m_evfOutput;
    return ZEL_ERR_OK;
}

ZelError GphotoCamera::SetProperty(HelperLink& link, uint32_t property, uint32_t value,
                                   bool& evfChanged, bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    evfChanged = false;
    lostNow = false;
    if (!IsProperty(property))
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    if (ZelError gate = Gate(link, lostNow))
        return gate;
    std::vector<uint8_t> body;
    if (IsSetting(property)) {
        WireWriter request = Request(Op::SetSetting, m_port, property);
        request.U32(value);
        return Ask(link, request, body, lostNow);
    }
    if (property == ZEL_PROP_SAVE_TARGET) {
        m_saveTarget = value;
        return ZEL_ERR_OK;
    }
    const bool on = (value & ZEL_EVF_OUTPUT_HOST) != 0;
    if (on != ((m_evfOutput & ZEL_EVF_OUTPUT_HOST) != 0)) {
        WireWriter request = Request(Op::Viewfinder, m_port);
        request.U8(on ? 1 : 0);
        if (ZelError e = Ask(link, request, body, lostNow))
            return e;
        evfChanged = true;
    }
    m_evfOutput = value;
    return ZEL_ERR_OK;
}

ZelError GphotoCamera::Describe(HelperLink& link, uint32_t property, ZelPropertyDesc& desc,
                                bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    lostNow = false;
    desc.numElements = 0;
    if (!IsProperty(property))
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    if (ZelError gate = Gate(link, lostNow))
        return gate;
    // The save target and live-view output take any value of their form.
    if (!IsSetting(property))
        return ZEL_ERR_OK;
    std::vector<uint8_t> body;
    if (ZelError e = Ask(link, Request(Op::Describe, m_port, property), body, lostNow))
        return e;
    WireReader in(body.data(), body.size());
    uint32_t count = 0;
    if (!in.U32(count) || count > kMaxAllowed)
        return ZEL_ERR_INTERNAL_ERROR;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!in.U32(value))
            return ZEL_ERR_INTERNAL_ERROR;
        desc.propDesc[i] = static_cast<int32_t>(value);
    }
    if (!in.AtEnd())
        return ZEL_ERR_INTERNAL_ERROR;
    desc.numElements = static_cast<int32_t>(count);
    return ZEL_ERR_OK;
}

ZelError GphotoCamera::Command(HelperLink& link, uint32_t command, int32_t parameter,
                               bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    lostNow = false;
    if (ZelError gate = Gate(link, lostNow))
        return gate;
    WireWriter request = Request(Op::Command, m_port, command);
    request.U32(static_cast<uint32_t>(parameter));
    std::vector<uint8_t> body;
    return Ask(link, request, body, lostNow);
}

ZelError GphotoCamera::NeedSession(HelperLink& link, bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    lostNow = false;
    return Gate(link, lostNow);
}

ZelError GphotoCamera::Download(HelperLink& link, std::vector<uint8_t>& jpeg, bool& lostNow) {
    std::lock_guard<std::mutex> lock(m_mutex);
    lostNow = false;
    if (ZelError gate = Gate(link, lostNow))
        return gate;
    if (!(m_evfOutput & ZEL_EVF_OUTPUT_HOST))
        return ZEL_ERR_FRAME_NOT_READY;
    std::vector<uint8_t> body;
    if (ZelError e = Ask(link, Request(Op::Download, m_port), body, lostNow))
        return e;
    WireReader in(body.data(), body.size());
    if (!in.Bytes(jpeg, kMaxFrameBytes) || !in.AtEnd()) {
        jpeg.clear();
        return ZEL_ERR_INTERNAL_ERROR;
    }
    return ZEL_ERR_OK;
}

bool GphotoCamera::Poll(HelperLink& link, std::vector<uint32_t>& changed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    bool lostNow = false;
    if (Gate(link, lostNow) != ZEL_ERR_OK)
        return lostNow;
    std::vector<uint8_t> body;
    if (Ask(link, Request(Op::Poll, m_port), body, lostNow) != ZEL_ERR_OK)
        return lostNow;
    WireReader in(body.data(), body.size());
    uint32_t count = 0;
    if (!in.U32(count) || count > kMaxChanged)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t property = 0;
        if (!in.U32(property) || !IsSetting(property))
            break;
        changed.push_back(property);
    }
    return false;
}

void GphotoCamera::Shutdown(HelperLink& link) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_session || link.Generation() != m_generation)
        return;
    WireWriter request = Request(Op::End, m_port);
    request.U8(1);
    HelperLink::Answer answer;
    link.Call(request, answer);
    m_session = false;
    m_evfOutput = 0;
}

void GphotoCamera::Detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    // A camera in a session stays: its own calls tell when it is gone.
    if (!m_session)
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
