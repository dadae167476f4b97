// ZelSDK: the camera SDK's C interface.
//
// Every call returns a ZelError, 0 on success. Every SDK object is an opaque
// __ZelObject reference that is reference counted: a call that hands out a
// reference gives the caller one count of it, which ZelRelease gives back.
// A null, released or wrong kind of reference is answered with an error code.
// All calls may be made from several threads at once. Event handlers are
// called on a thread of the SDK's own, never inside the call that caused the
// event, and never after ZelTerminateSDK has returned.
#ifndef ZELSDK_ZELSDK_H
#define ZELSDK_ZELSDK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ZelError;

// Opaque object reference: a camera list, a camera, a memory stream or a
// live-view (evf) image.
typedef struct __ZelObject __ZelObject;

// ---------------------------------------------------------------- result codes
#define ZEL_ERR_OK 0x00000000u
#define ZEL_ERR_INTERNAL_ERROR 0x00000002u
#define ZEL_ERR_MEMORY_FULL 0x00000003u
// The property or command does not exist on this camera (or is read only).
#define ZEL_ERR_PROPERTY_UNAVAILABLE 0x00000007u
#define ZEL_ERR_SDK_NOT_INITIALIZED 0x00000021u
#define ZEL_ERR_INVALID_HANDLE 0x00000060u
#define ZEL_ERR_INVALID_POINTER 0x00000061u
#define ZEL_ERR_INVALID_PARAMETER 0x00000062u
#define ZEL_ERR_INVALID_LENGTH 0x00000063u
#define ZEL_ERR_INVALID_INDEX 0x00000064u
// The camera is no longer attached.
#define ZEL_ERR_DEVICE_NOT_FOUND 0x00000080u
// Another program holds the camera's port. Both codes mean the same.
#define ZEL_ERR_COMM_PORT_IS_IN_USE 0x00000081u
#define ZEL_ERR_COMM_PORT_IS_IN_USE_SESSION 0x000000C0u
// The call needs an open session with the camera.
#define ZEL_ERR_SESSION_NOT_OPEN 0x000000C1u
// No live-view frame is ready yet (live view just started, or is off).
#define ZEL_ERR_FRAME_NOT_READY 0x0000A102u
// Live view cannot start while the lens barrel is closed.
#define ZEL_ERR_LENS_CLOSED 0x0000A103u

// ------------------------------------------------------------------ properties
// Where captured pictures go; the host sets it to 1 after opening a session.
#define ZEL_PROP_SAVE_TARGET 0x0000000Bu
// Live-view output. Bit value ZEL_EVF_OUTPUT_HOST switches output to the host on.
#define ZEL_PROP_EVF_OUTPUT 0x00000500u
#define ZEL_EVF_OUTPUT_HOST 0x00000002u
// Lens barrel of cameras with a retracting lens: 1 open, 0 closed.
#define ZEL_PROP_LENS_BARREL 0x00000605u

// -------------------------------------------------------------------- commands
// Extends the camera's automatic shutdown timer.
#define ZEL_CMD_EXTEND_SHUTDOWN_TIMER 0x00000001u
// Remote shooting: parameter 1 starts it (the barrel opens), 0 stops it.
#define ZEL_CMD_REMOTE_SHOOTING 0x0000010Fu

// ---------------------------------------------------------------------- events
// Handler registration kinds.
#define ZEL_PROPERTY_EVENT_ALL 0x00000100u
#define ZEL_OBJECT_EVENT_ALL 0x00000200u
#define ZEL_STATE_EVENT_ALL 0x00000300u
// A property changed: read it again.
#define ZEL_PROPERTY_EVENT_CHANGED 0x00000101u
// The camera was disconnected.
#define ZEL_STATE_EVENT_DISCONNECTED 0x00000301u
// The camera will shut itself down soon unless the timer is extended.
#define ZEL_STATE_EVENT_SHUTDOWN_SOON 0x00000303u

// ------------------------------------------------------------------- records
// Device information of a camera. The camera can be driven by a host only
// when usable is 1.
typedef struct ZelDeviceInfo {
    char portName[256];
    char description[256];
    uint32_t usable;
} ZelDeviceInfo;

// Free space that the host reports for pictures that would be saved to it.
typedef struct ZelCapacity {
    int32_t freeBlocks;
    int32_t blockSize;
    int32_t reset;
} ZelCapacity;

// ------------------------------------------------------------------ handlers
typedef ZelError (*ZelPropertyEventHandler)(uint32_t event, uint32_t property, uint32_t parameter,
                                            void* context);
typedef ZelError (*ZelObjectEventHandler)(uint32_t event, __ZelObject* object, void* context);
typedef ZelError (*ZelStateEventHandler)(uint32_t event, uint32_t parameter, void* context);

// --------------------------------------------------------------------- calls
ZelError ZelInitializeSDK(void);
ZelError ZelTerminateSDK(void);

// Adds one count to / gives back one count of any reference.
ZelError ZelRetain(__ZelObject* ref);
ZelError ZelRelease(__ZelObject* ref);

// The cameras attached now, as a list.
ZelError ZelGetCameraList(__ZelObject** outList);
ZelError ZelGetChildCount(__ZelObject* list, uint32_t* outCount);
ZelError ZelGetChildAtIndex(__ZelObject* list, int32_t index, __ZelObject** outCamera);
ZelError ZelGetDeviceInfo(__ZelObject* camera, ZelDeviceInfo* outInfo);

// One handler of each kind per camera; a null handler removes it.
ZelError ZelSetPropertyEventHandler(__ZelObject* camera, uint32_t event,
                                    ZelPropertyEventHandler handler, void* context);
ZelError ZelSetObjectEventHandler(__ZelObject* camera, uint32_t event,
                                  ZelObjectEventHandler handler, void* context);
ZelError ZelSetCameraStateEventHandler(__ZelObject* camera, uint32_t event,
                                       ZelStateEventHandler handler, void* context);

ZelError ZelOpenSession(__ZelObject* camera);
ZelError ZelCloseSession(__ZelObject* camera);

ZelError ZelGetPropertyData(__ZelObject* camera, uint32_t property, int32_t parameter,
                            uint32_t size, void* outData);
ZelError ZelSetPropertyData(__ZelObject* camera, uint32_t property, int32_t parameter,
                            uint32_t size, const void* data);
ZelError ZelSetCapacity(__ZelObject* camera, ZelCapacity capacity);
ZelError ZelSendCommand(__ZelObject* camera, uint32_t command, int32_t parameter);

// A growable memory stream (size is the initial capacity) and a live-view
// image bound to it.
ZelError ZelCreateMemoryStream(uint64_t size, __ZelObject** outStream);
ZelError ZelCreateEvfImageRef(__ZelObject* stream, __ZelObject** outImage);
// Downloads one live-view JPEG into the image's stream.
ZelError ZelDownloadEvfImage(__ZelObject* camera, __ZelObject* image);
// The stream's bytes, valid until the stream is released or written again.
ZelError ZelGetPointer(__ZelObject* stream, uint8_t** outPointer);
ZelError ZelGetLength(__ZelObject* stream, uint64_t* outLength);

#ifdef __cplusplus
}
#endif

#endif
