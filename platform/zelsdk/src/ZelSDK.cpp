// The C entry points of the SDK. Each one states what is its own (its
// arguments for the call list, its checks and its effect); what every call
// does first (tracing, injected failures, the lock, the initialised check and
// the reference lookup) is in SdkCall.
#include "SdkCall.h"
#include "Simulator.h"

#include <ZelSDK/ZelSDK.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <vector>
#include <thread>
#include <time.h>

using namespace zelsdk;

namespace {

Simulator& S() {
    return Simulator::Get();
}

uint64_t MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

template <typename Handler>
ZelError SetHandler(const char* name, __ZelObject* camera, uint32_t event, uint32_t kind,
                    Handler handler, void* context, Handler Camera::*slot, void* Camera::*ctx) {
    SdkCall call(name, "camera", camera);
    call.Trace().Arg("event", event).Arg("handler", handler ? "set" : "null");
    std::shared_ptr<Camera> c;
    if (ZelError e = call.BeginCamera(c))
        return e;
    if (event != kind)
        return call.Done(ZEL_ERR_INVALID_PARAMETER);
    (*c).*slot = handler;
    (*c).*ctx = context;
    return call.Done(ZEL_ERR_OK);
}

// The arguments both property calls list.
void ListProperty(SdkCall& call, uint32_t property, int32_t parameter, uint32_t size) {
    call.Trace()
        .Arg("property", property)
        .Arg("parameter", std::to_string(parameter))
        .Arg("size", size);
}

// What both property calls check first: the camera reference, then the data
// pointer and the size (every property is 4 bytes).
ZelError BeginProperty(SdkCall& call, const void* data, uint32_t size,
                       std::shared_ptr<Camera>& camera) {
    if (ZelError e = call.BeginCamera(camera))
        return e;
    if (!data)
        return call.Done(ZEL_ERR_INVALID_POINTER);
    if (size != 4)
        return call.Done(ZEL_ERR_INVALID_LENGTH);
    return ZEL_ERR_OK;
}

// The new object's reference goes to out and, as key, to the call list.
ZelError Created(SdkCall& call, const char* key, Object object, __ZelObject** out) {
    uint64_t id = S().m_handles.Add(std::move(object));
    *out = HandleTable::Token(id);
    call.Trace().Out(key, id);
    return call.Done(ZEL_ERR_OK);
}

} // namespace

extern "C" {

ZelError ZelInitializeSDK(void) {
    SdkCall call("ZelInitializeSDK");
    // Read first, so that ZELSIM_FAIL can fail this very call.
    {
        std::lock_guard<std::mutex> lock(S().m_mutex);
        S().ReadEnvironment();
    }
    if (ZelError e = call.Inject())
        return e;
    return call.Done(S().Initialize());
}

ZelError ZelTerminateSDK(void) {
    SdkCall call("ZelTerminateSDK");
    if (ZelError e = call.Inject())
        return e;
    return call.Done(S().Terminate());
}

ZelError ZelRetain(__ZelObject* ref) {
    SdkCall call("ZelRetain", "ref", ref);
    if (ZelError e = call.Begin())
        return e;
    return call.Done(S().m_handles.Retain(ref) ? ZEL_ERR_OK : ZEL_ERR_INVALID_HANDLE);
}

ZelError ZelRelease(__ZelObject* ref) {
    SdkCall call("ZelRelease", "ref", ref);
    if (ZelError e = call.Begin())
        return e;
    return call.Done(S().m_handles.Release(ref) ? ZEL_ERR_OK : ZEL_ERR_INVALID_HANDLE);
}

ZelError ZelGetCameraList(__ZelObject** outList) {
    SdkCall call("ZelGetCameraList");
    if (ZelError e = call.Begin())
        return e;
    if (!outList)
        return call.Done(ZEL_ERR_INVALID_POINTER);
    // A snapshot: the list holds a count of the camera attached now.
    Object list;
    list.kind = Kind::List;
    if (S().m_camera)
        list.children.push_back(S().m_handles.RetainCamera(S().m_camera));
    return Created(call, "list", std::move(list), outList);
}

ZelError ZelGetChildCount(__ZelObject* list, uint32_t* outCount) {
    SdkCall call("ZelGetChildCount", "list", list);
    Object* o = nullptr;
    if (ZelError e = call.Begin(Kind::List, o))
        return e;
    return call.Answer("count", outCount, static_cast<uint32_t>(o->children.size()));
}

ZelError ZelGetChildAtIndex(__ZelObject* list, int32_t index, __ZelObject** outCamera) {
    SdkCall call("ZelGetChildAtIndex", "list", list);
    call.Trace().Arg("index", std::to_string(index));
    Object* o = nullptr;
    if (ZelError e = call.Begin(Kind::List, o, outCamera))
        return e;
    if (index < 0 || static_cast<size_t>(index) >= o->children.size())
        return call.Done(ZEL_ERR_INVALID_INDEX);
    uint64_t id = o->children[static_cast<size_t>(index)];
    S().m_handles.RetainId(id);
    *outCamera = HandleTable::Token(id);
    call.Trace().Out("camera", id);
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelGetDeviceInfo(__ZelObject* camera, ZelDeviceInfo* outInfo) {
    SdkCall call("ZelGetDeviceInfo", "camera", camera);
    std::shared_ptr<Camera> c;
    if (ZelError e = call.BeginCamera(c))
        return e;
    if (!outInfo)
        return call.Done(ZEL_ERR_INVALID_POINTER);
    if (!c->attached)
        return call.Done(ZEL_ERR_DEVICE_NOT_FOUND);
    std::memset(outInfo, 0, sizeof *outInfo);
    std::snprintf(outInfo->portName, sizeof outInfo->portName, "usb:001,%03llu",
                  static_cast<unsigned long long>(c->cameraId % 1000));
    std::snprintf(outInfo->description, sizeof outInfo->description, "%s", c->Description());
    outInfo->usable = c->Usable();
    call.Trace()
        .Out("description", std::string("\"") + c->Description() + "\"")
        .Out("usable", outInfo->usable);
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelSetPropertyEventHandler(__ZelObject* camera, uint32_t event,
                                    ZelPropertyEventHandler handler, void* context) {
    return SetHandler("ZelSetPropertyEventHandler", camera, event, ZEL_PROPERTY_EVENT_ALL, handler,
                      context, &Camera::propertyHandler, &Camera::propertyContext);
}

ZelError ZelSetObjectEventHandler(__ZelObject* camera, uint32_t event,
                                  ZelObjectEventHandler handler, void* context) {
    return SetHandler("ZelSetObjectEventHandler", camera, event, ZEL_OBJECT_EVENT_ALL, handler,
                      context, &Camera::objectHandler, &Camera::objectContext);
}

ZelError ZelSetCameraStateEventHandler(__ZelObject* camera, uint32_t event,
                                       ZelStateEventHandler handler, void* context) {
    return SetHandler("ZelSetCameraStateEventHandler", camera, event, ZEL_STATE_EVENT_ALL, handler,
                      context, &Camera::stateHandler, &Camera::stateContext);
}

ZelError ZelOpenSession(__ZelObject* camera) {
    SdkCall call("ZelOpenSession", "camera", camera);
    std::shared_ptr<Camera> c;
    if (ZelError e = call.BeginCamera(c))
        return e;
    if (!c->attached)
        return call.Done(ZEL_ERR_DEVICE_NOT_FOUND);
    if (c->session) // the port is ours already
        return call.Done(ZEL_ERR_OK);
    if (S().m_busy)
        return call.Done(ZEL_ERR_COMM_PORT_IS_IN_USE);
    c->session = true;
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelCloseSession(__ZelObject* camera) {
    SdkCall call("ZelCloseSession", "camera", camera);
    std::shared_ptr<Camera> c;
    if (ZelError e = call.BeginSession(c))
        return e;
    c->EndSession();
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelGetPropertyData(__ZelObject* camera, uint32_t property, int32_t parameter,
                            uint32_t size, void* outData) {
    SdkCall call("ZelGetPropertyData", "camera", camera);
    ListProperty(call, property, parameter, size);
    std::shared_ptr<Camera> c;
    if (ZelError e = BeginProperty(call, outData, size, c))
        return e;
    // A property that does not exist is answered so with or without a session.
    if (!c->HasProperty(property))
        return call.Done(ZEL_ERR_PROPERTY_UNAVAILABLE);
    if (ZelError e = c->SessionError())
        return call.Done(e);
    uint32_t value = c->Property(property);
    std::memcpy(outData, &value, 4);
    call.Trace().Out("value", value);
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelSetPropertyData(__ZelObject* camera, uint32_t property, int32_t parameter,
                            uint32_t size, const void* data) {
    SdkCall call("ZelSetPropertyData", "camera", camera);
    ListProperty(call, property, parameter, size);
    uint32_t value = 0;
    if (data && size == 4) {
        std::memcpy(&value, data, 4);
        call.Trace().Arg("value", value);
    }
    std::shared_ptr<Camera> c;
    if (ZelError e = BeginProperty(call, data, size, c))
        return e;
    // The lens barrel is read only.
    if (property != ZEL_PROP_SAVE_TARGET && property != ZEL_PROP_EVF_OUTPUT &&
        !c->controls.Has(property))
        return call.Done(ZEL_ERR_PROPERTY_UNAVAILABLE);
    if (ZelError e = c->SessionError())
        return call.Done(e);
    if (c->controls.Has(property)) {
        // The camera takes a moment to apply a setting, without holding
        // the simulator's lock. The host's own change raises no event; the
        // next frame shows it.
        call.Unlock();
        std::this_thread::sleep_for(kSettingDelay);
        call.Lock();
        bool changed = false;
        return call.Done(c->controls.Set(property, value, changed));
    }
    if (property == ZEL_PROP_SAVE_TARGET) {
        c->saveTarget = value;
        return call.Done(ZEL_ERR_OK);
    }
    bool on = value & ZEL_EVF_OUTPUT_HOST;
    if (on && !c->evfOn && c->model == Model::Lumidrift && c->lens != 1)
        return call.Done(ZEL_ERR_LENS_CLOSED);
    bool changed = value != c->evfOutput;
    c->evfOutput = value;
    if (on && !c->evfOn) {
        c->StartLiveView(Clock::now());
        S().m_frames.Start();
    } else if (!on) {
        c->evfOn = false;
    }
    if (changed && S().m_settings.evfEventBeforeReturn)
        S().m_events.Deliver(call.Held(), c, Pending::Property, ZEL_PROPERTY_EVENT_CHANGED,
                             ZEL_PROP_EVF_OUTPUT);
    else if (changed)
        S().m_events.Schedule(c, Pending::Property, ZEL_PROPERTY_EVENT_CHANGED, ZEL_PROP_EVF_OUTPUT,
                              kEvfEventDelay);
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelGetPropertyDesc(__ZelObject* camera, uint32_t property, ZelPropertyDesc* outDesc) {
    SdkCall call("ZelGetPropertyDesc", "camera", camera);
    call.Trace().Arg("property", property);
    std::shared_ptr<Camera> c;
    if (ZelError e = call.BeginCamera(c))
        return e;
    if (!outDesc)
        return call.Done(ZEL_ERR_INVALID_POINTER);
    if (!c->HasProperty(property))
        return call.Done(ZEL_ERR_PROPERTY_UNAVAILABLE);
    if (ZelError e = c->SessionError())
        return call.Done(e);
    std::memset(outDesc, 0, sizeof *outDesc);
    const std::vector<uint32_t> allowed = c->controls.Allowed(property);
    for (size_t i = 0; i < allowed.size() && i < 128; ++i)
        outDesc->propDesc[i] = static_cast<int32_t>(allowed[i]);
    outDesc->numElements = static_cast<int32_t>(std::min<size_t>(allowed.size(), 128));
    call.Trace().Out("count", outDesc->numElements);
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelSetCapacity(__ZelObject* camera, ZelCapacity capacity) {
    SdkCall call("ZelSetCapacity", "camera", camera);
    call.Trace().Arg("capacity", std::to_string(capacity.freeBlocks) + "," +
                                     std::to_string(capacity.blockSize) + "," +
                                     std::to_string(capacity.reset));
    std::shared_ptr<Camera> c;
    if (ZelError e = call.BeginSession(c))
        return e;
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelSendCommand(__ZelObject* camera, uint32_t command, int32_t parameter) {
    SdkCall call("ZelSendCommand", "camera", camera);
    call.Trace().Arg("command", command).Arg("parameter", std::to_string(parameter));
    std::shared_ptr<Camera> c;
    if (ZelError e = call.BeginSession(c))
        return e;
    if (command == ZEL_CMD_EXTEND_SHUTDOWN_TIMER)
        return call.Done(ZEL_ERR_OK);
    if (command == ZEL_CMD_AUTOFOCUS) {
        if (parameter != 0)
            return call.Done(ZEL_ERR_INVALID_PARAMETER);
        // Focusing takes the camera a while; the lock is not held.
        call.Unlock();
        std::this_thread::sleep_for(kAutofocusDelay);
        call.Lock();
        c->controls.Autofocus();
        return call.Done(ZEL_ERR_OK);
    }
    if (command == ZEL_CMD_DRIVE_FOCUS)
        return call.Done(c->controls.DriveFocus(parameter));
    if (command != ZEL_CMD_REMOTE_SHOOTING || c->model != Model::Lumidrift)
        return call.Done(ZEL_ERR_PROPERTY_UNAVAILABLE);
    if (parameter != 0 && parameter != 1)
        return call.Done(ZEL_ERR_INVALID_PARAMETER);
    S().m_events.Schedule(c, parameter ? Pending::LensOpen : Pending::LensClose, 0, 0, kLensDelay);
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelCreateMemoryStream(uint64_t size, __ZelObject** outStream) {
    SdkCall call("ZelCreateMemoryStream");
    call.Trace().Arg("size", size);
    if (ZelError e = call.Begin())
        return e;
    if (!outStream)
        return call.Done(ZEL_ERR_INVALID_POINTER);
    if (size > (1ull << 30))
        return call.Done(ZEL_ERR_MEMORY_FULL);
    Object stream;
    stream.kind = Kind::Stream;
    stream.bytes = std::make_shared<Bytes>();
    stream.bytes->reserve(size);
    return Created(call, "stream", std::move(stream), outStream);
}

ZelError ZelCreateEvfImageRef(__ZelObject* stream, __ZelObject** outImage) {
    SdkCall call("ZelCreateEvfImageRef", "stream", stream);
    Object* s = nullptr;
    if (ZelError e = call.Begin(Kind::Stream, s, outImage))
        return e;
    Object image;
    image.kind = Kind::Image;
    image.bytes = s->bytes;
    return Created(call, "image", std::move(image), outImage);
}

ZelError ZelDownloadEvfImage(__ZelObject* camera, __ZelObject* image) {
    SdkCall call("ZelDownloadEvfImage", "camera", camera);
    call.Trace().Ref("image", image);
    std::shared_ptr<Camera> c;
    if (ZelError e = call.BeginSession(c))
        return e;
    Object* img = S().m_handles.Find(image, Kind::Image);
    if (!img)
        return call.Done(ZEL_ERR_INVALID_HANDLE);
    int64_t frame = 0;
    if (!c->evfOn || !c->NewFrame(Clock::now(), frame))
        return call.Done(ZEL_ERR_FRAME_NOT_READY);
    std::shared_ptr<const Bytes> picture = S().m_frames.Picture(static_cast<uint64_t>(frame));
    if (!picture)
        return call.Done(ZEL_ERR_FRAME_NOT_READY);
    const Look look = c->controls.PictureLook();
    c->lastServed = frame;
    uint64_t sequence = ++S().m_sequence;
    S().m_served++;
    std::shared_ptr<Bytes> target = img->bytes;
    uint32_t downloadMs = S().m_settings.downloadMs;
    call.Unlock();

    // The transfer itself, without holding the simulator's lock; the
    // settings change the picture first (at once when it was changed in
    // the same look before).
    if (!look.Neutral()) {
        if (std::shared_ptr<const Bytes> looked =
                S().m_frames.Picture(static_cast<uint64_t>(frame), look))
            picture = looked;
    }
    if (downloadMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(downloadMs));
    const uint64_t stampNs = MonotonicNs();
    Bytes out = FrameSource::Stamped(*picture, sequence, stampNs);

    call.Lock();
    // The image may have been released during the transfer.
    if (!S().m_handles.Find(image, Kind::Image))
        return call.Done(ZEL_ERR_INVALID_HANDLE);
    if (S().m_sendLog) {
        std::fprintf(S().m_sendLog, "%lld %llu\n", static_cast<long long>(frame),
                     static_cast<unsigned long long>(stampNs));
        std::fflush(S().m_sendLog);
    }
    target->swap(out);
    size_t length = target->size();
    call.Unlock();
    call.Trace().Out("seq", sequence).Out("length", length);
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelGetPointer(__ZelObject* stream, uint8_t** outPointer) {
    SdkCall call("ZelGetPointer", "stream", stream);
    Object* s = nullptr;
    if (ZelError e = call.Begin(Kind::Stream, s, outPointer))
        return e;
    *outPointer = s->bytes->empty() ? nullptr : s->bytes->data();
    return call.Done(ZEL_ERR_OK);
}

ZelError ZelGetLength(__ZelObject* stream, uint64_t* outLength) {
    SdkCall call("ZelGetLength", "stream", stream);
    Object* s = nullptr;
    if (ZelError e = call.Begin(Kind::Stream, s))
        return e;
    return call.Answer("length", outLength, static_cast<uint64_t>(s->bytes->size()));
}

} // extern "C"
