#include "SdkCall.h"

#include "Simulator.h"

namespace zelsdk {

SdkCall::SdkCall(const char* name) : m_trace(name, Simulator::Get().m_log) {}

SdkCall::SdkCall(const char* name, const char* key, const __ZelObject* ref)
    : m_trace(name, Simulator::Get().m_log), m_ref(ref) {
    m_trace.Ref(key, ref);
}

ZelError SdkCall::Begin() {
    if (ZelError e = Inject())
        return e;
    Simulator& s = Simulator::Get();
    m_lock = std::unique_lock<std::mutex>(s.m_mutex);
    if (!s.m_initialized)
        return Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    return ZEL_ERR_OK;
}

ZelError SdkCall::Begin(Kind kind, Object*& object) {
    if (ZelError e = Begin())
        return e;
    object = Simulator::Get().m_handles.Find(m_ref, kind);
    if (!object)
        return Done(ZEL_ERR_INVALID_HANDLE);
    return ZEL_ERR_OK;
}

ZelError SdkCall::Begin(Kind kind, Object*& object, const void* out) {
    if (ZelError e = Begin(kind, object))
        return e;
    if (!out)
        return Done(ZEL_ERR_INVALID_POINTER);
    return ZEL_ERR_OK;
}

ZelError SdkCall::BeginCamera(std::shared_ptr<Camera>& camera) {
    Object* object = nullptr;
    if (ZelError e = Begin(Kind::Camera, object))
        return e;
    camera = object->camera;
    return ZEL_ERR_OK;
}

ZelError SdkCall::BeginSession(std::shared_ptr<Camera>& camera) {
    if (ZelError e = BeginCamera(camera))
        return e;
    if (ZelError e = camera->SessionError())
        return Done(e);
    return ZEL_ERR_OK;
}

ZelError SdkCall::Inject() {
    if (uint32_t injected = Simulator::Get().m_failures.Take(m_trace.Name()))
        return Done(injected);
    return ZEL_ERR_OK;
}

} // namespace zelsdk
