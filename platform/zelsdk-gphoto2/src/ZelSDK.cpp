// The C entry points of the SDK on libgphoto2. Each checks that the SDK is
// initialised and looks its references up under the backend's lock, then
// works on the camera with that lock released.
#include "Backend.h"

#include <ZelSDK/ZelSDK.h>

#include <cstdio>
#include <cstring>

using namespace zelgp;

namespace {

Backend& B() {
    return Backend::Get();
}

// The camera of ref, or the error code for it.
ZelError FindCamera(__ZelObject* ref, std::shared_ptr<GphotoCamera>& camera) {
    auto lock = B().Lock();
    if (!B().Initialized())
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    camera = B().CameraOf(ref);
    return camera ? ZEL_ERR_OK : ZEL_ERR_INVALID_HANDLE;
}

// Raises the state event for a session that this call found broken.
ZelError Reported(const std::shared_ptr<GphotoCamera>& camera, ZelError e, bool lostNow) {
    if (lostNow)
        B().QueueDisconnected(camera);
    return e;
}

void CopyText(char (&to)[256], const std::string& from) {
    std::snprintf(to, sizeof to, "%s", from.c_str());
}

} // namespace

extern "C" {

ZelError ZelInitializeSDK(void) {
    return B().Initialize();
}

ZelError ZelTerminateSDK(void) {
    return B().Terminate();
}

ZelError ZelRetain(__ZelObject* ref) {
    auto lock = B().Lock();
    if (!B().Initialized())
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    return B().Objects().Retain(ref) ? ZEL_ERR_OK : ZEL_ERR_INVALID_HANDLE;
}

ZelError ZelRelease(__ZelObject* ref) {
    auto lock = B().Lock();
    if (!B().Initialized())
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    return B().Objects().Release(ref) ? ZEL_ERR_OK : ZEL_ERR_INVALID_HANDLE;
}

ZelError ZelGetCameraList(__ZelObject** outList) {
    {
        auto lock = B().Lock();
        if (!B().Initialized())
            return ZEL_ERR_SDK_NOT_INITIALIZED;
    }
    if (!outList)
        return ZEL_ERR_INVALID_POINTER;
    return B().NewCameraList(outList);
}

ZelError ZelGetChildCount(__ZelObject* list, uint32_t* outCount) {
    auto lock = B().Lock();
    if (!B().Initialized())
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    Object* object = B().Objects().Find(list, Kind::List);
    if (!object)
        return ZEL_ERR_INVALID_HANDLE;
    if (!outCount)
        return ZEL_ERR_INVALID_POINTER;
    *outCount = static_cast<uint32_t>(object->children.size());
    return ZEL_ERR_OK;
}

ZelError ZelGetChildAtIndex(__ZelObject* list, int32_t index, __ZelObject** outCamera) {
    auto lock = B().Lock();
    if (!B().Initialized())
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    Object* object = B().Objects().Find(list, Kind::List);
    if (!object)
        return ZEL_ERR_INVALID_HANDLE;
    if (!outCamera)
        return ZEL_ERR_INVALID_POINTER;
    if (index < 0 || static_cast<size_t>(index) >= object->children.size())
        return ZEL_ERR_INVALID_INDEX;
    const uint64_t id = object->children[static_cast<size_t>(index)];
    B().Objects().RetainId(id);
    *outCamera = ObjectTable::Token(id);
    return ZEL_ERR_OK;
}

ZelError ZelGetDeviceInfo(__ZelObject* ref, ZelDeviceInfo* outInfo) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    if (!outInfo)
        return ZEL_ERR_INVALID_POINTER;
    std::memset(outInfo, 0, sizeof *outInfo);
    CopyText(outInfo->portName, camera->Port());
    CopyText(outInfo->description, camera->Model());
    outInfo->usable = 1;
    return ZEL_ERR_OK;
}

ZelError ZelSetPropertyEventHandler(__ZelObject* ref, uint32_t event,
                                    ZelPropertyEventHandler handler, void* context) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    if (event != ZEL_PROPERTY_EVENT_ALL)
        return ZEL_ERR_INVALID_PARAMETER;
    Handlers handlers = camera->GetHandlers();
    handlers.property = handler;
    handlers.propertyContext = context;
    camera->SetHandlers(handlers);
    return ZEL_ERR_OK;
}

ZelError ZelSetObjectEventHandler(__ZelObject* ref, uint32_t event, ZelObjectEventHandler handler,
                                  void* context) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    if (event != ZEL_OBJECT_EVENT_ALL)
        return ZEL_ERR_INVALID_PARAMETER;
    Handlers handlers = camera->GetHandlers();
    handlers.object = handler;
    handlers.objectContext = context;
    camera->SetHandlers(handlers);
    return ZEL_ERR_OK;
}

ZelError ZelSetCameraStateEventHandler(__ZelObject* ref, uint32_t event,
                                       ZelStateEventHandler handler, void* context) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    if (event != ZEL_STATE_EVENT_ALL)
        return ZEL_ERR_INVALID_PARAMETER;
    Handlers handlers = camera->GetHandlers();
    handlers.state = handler;
    handlers.stateContext = context;
    camera->SetHandlers(handlers);
    return ZEL_ERR_OK;
}

ZelError ZelOpenSession(__ZelObject* ref) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    bool lostNow = false;
    const ZelError result = camera->Open(B().Link(), lostNow);
    return Reported(camera, result, lostNow);
}

ZelError ZelCloseSession(__ZelObject* ref) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    bool lostNow = false;
    const ZelError result = camera->Close(B().Link(), lostNow);
    return Reported(camera, result, lostNow);
}

ZelError ZelGetPropertyData(__ZelObject* ref, uint32_t property, int32_t, uint32_t size,
                            void* outData) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    if (!outData)
        return ZEL_ERR_INVALID_POINTER;
    if (size != 4)
        return ZEL_ERR_INVALID_LENGTH;
    uint32_t value = 0;
    bool lostNow = false;
    const ZelError e = camera->GetProperty(B().Link(), property, value, lostNow);
    if (e == ZEL_ERR_OK)
        std::memcpy(outData, &value, sizeof value);
    return Reported(camera, e, lostNow);
}

ZelError ZelSetPropertyData(__ZelObject* ref, uint32_t property, int32_t, uint32_t size,
                            const void* data) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    if (!data)
        return ZEL_ERR_INVALID_POINTER;
    if (size != 4)
        return ZEL_ERR_INVALID_LENGTH;
    uint32_t value = 0;
    std::memcpy(&value, data, sizeof value);
    bool evfChanged = false;
    bool lostNow = false;
    const ZelError e = camera->SetProperty(B().Link(), property, value, evfChanged, lostNow);
    if (evfChanged)
        B().QueuePropertyEvent(camera, ZEL_PROP_EVF_OUTPUT);
    return Reported(camera, e, lostNow);
}

ZelError ZelGetPropertyDesc(__ZelObject* ref, uint32_t property, ZelPropertyDesc* outDesc) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    if (!outDesc)
        return ZEL_ERR_INVALID_POINTER;
    ZelPropertyDesc desc;
    bool lostNow = false;
    const ZelError e = camera->Describe(B().Link(), property, desc, lostNow);
    if (e == ZEL_ERR_OK)
        *outDesc = desc;
    return Reported(camera, e, lostNow);
}

ZelError ZelSetCapacity(__ZelObject* ref, ZelCapacity) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    // Live view saves nothing to the host: there is nothing to tell the
    // camera, only the session to check.
    bool lostNow = false;
    const ZelError result = camera->NeedSession(B().Link(), lostNow);
    return Reported(camera, result, lostNow);
}

ZelError ZelSendCommand(__ZelObject* ref, uint32_t command, int32_t parameter) {
    std::shared_ptr<GphotoCamera> camera;
    if (ZelError e = FindCamera(ref, camera))
        return e;
    bool lostNow = false;
    ZelError result = ZEL_ERR_PROPERTY_UNAVAILABLE;
    if (command == ZEL_CMD_AUTOFOCUS || command == ZEL_CMD_DRIVE_FOCUS)
        result = camera->Command(B().Link(), command, parameter, lostNow);
    // The event thread's polling keeps the camera awake.
    else if (command == ZEL_CMD_EXTEND_SHUTDOWN_TIMER)
        result = camera->NeedSession(B().Link(), lostNow);
    return Reported(camera, result, lostNow);
}

ZelError ZelCreateMemoryStream(uint64_t size, __ZelObject** outStream) {
    auto lock = B().Lock();
    if (!B().Initialized())
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    if (!outStream)
        return ZEL_ERR_INVALID_POINTER;
    Object object;
    object.kind = Kind::Stream;
    object.bytes = std::make_shared<Bytes>();
    if (size > 0 && size <= kMaxFrameBytes)
        object.bytes->reserve(static_cast<size_t>(size));
    *outStream = ObjectTable::Token(B().Objects().Add(std::move(object)));
    return ZEL_ERR_OK;
}

ZelError ZelCreateEvfImageRef(__ZelObject* stream, __ZelObject** outImage) {
    auto lock = B().Lock();
    if (!B().Initialized())
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    Object* bound = B().Objects().Find(stream, Kind::Stream);
    if (!bound)
        return ZEL_ERR_INVALID_HANDLE;
    if (!outImage)
        return ZEL_ERR_INVALID_POINTER;
    Object object;
    object.kind = Kind::Image;
    object.bytes = bound->bytes;
    *outImage = ObjectTable::Token(B().Objects().Add(std::move(object)));
    return ZEL_ERR_OK;
}

ZelError ZelDownloadEvfImage(__ZelObject* ref, __ZelObject* image) {
    std::shared_ptr<GphotoCamera> camera;
    std::shared_ptr<Bytes> bytes;
    {
        auto lock = B().Lock();
        if (!B().Initialized())
            return ZEL_ERR_SDK_NOT_INITIALIZED;
        camera = B().CameraOf(ref);
        Object* object = B().Objects().Find(image, Kind::Image);
        if (!camera || !object)
            return ZEL_ERR_INVALID_HANDLE;
        bytes = object->bytes;
    }
    std::vector<uint8_t> jpeg;
    bool lostNow = false;
    const ZelError downloaded = camera->Download(B().Link(), jpeg, lostNow);
    const ZelError e = Reported(camera, downloaded, lostNow);
    if (e != ZEL_ERR_OK)
        return e;
    auto lock = B().Lock();
    bytes->swap(jpeg);
    return ZEL_ERR_OK;
}

ZelError ZelGetPointer(__ZelObject* stream, uint8_t** outPointer) {
    auto lock = B().Lock();
    if (!B().Initialized())
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    Object* object = B().Objects().Find(stream, Kind::Stream);
    if (!object)
        return ZEL_ERR_INVALID_HANDLE;
    if (!outPointer)
        return ZEL_ERR_INVALID_POINTER;
    *outPointer = object->bytes->empty() ? nullptr : object->bytes->data();
    return ZEL_ERR_OK;
}

ZelError ZelGetLength(__ZelObject* stream, uint64_t* outLength) {
    auto lock = B().Lock();
    if (!B().Initialized())
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    Object* object = B().Objects().Find(stream, Kind::Stream);
    if (!object)
        return ZEL_ERR_INVALID_HANDLE;
    if (!outLength)
        return ZEL_ERR_INVALID_POINTER;
    *outLength = object->bytes->size();
    return ZEL_ERR_OK;
}

} // extern "C"
