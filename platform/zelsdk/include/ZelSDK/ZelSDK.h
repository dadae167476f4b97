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
// The camera cannot take the call now (it focuses or writes); try again.
#define ZEL_ERR_DEVICE_BUSY 0x00008D01u
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

// ------------------------------------------------------------ camera settings
// Settings are 32-bit properties, read and written with ZelGetPropertyData
// and ZelSetPropertyData (parameter 0, size 4) while a session is open.
// ZelGetPropertyDesc lists the values the camera allows now. A camera that
// lacks a setting answers ZEL_ERR_PROPERTY_UNAVAILABLE, a value it does not
// allow ZEL_ERR_INVALID_PARAMETER, and a camera that cannot take the change
// at the moment (focusing, writing) ZEL_ERR_DEVICE_BUSY. When a setting
// changes on the camera itself (its dials, or a change that follows another
// change), a ZEL_PROPERTY_EVENT_CHANGED event names the property.

// ISO speed: the ISO number; ZEL_ISO_AUTO is automatic.
#define ZEL_PROP_ISO 0x00000402u
#define ZEL_ISO_AUTO 0x00000000u
// Aperture: the f-number times 10 (56 is f/5.6).
#define ZEL_PROP_APERTURE 0x00000405u
// Shutter speed in seconds as a fraction: ZEL_SHUTTER(1, 60) is 1/60 s,
// ZEL_SHUTTER(30, 1) is 30 s, ZEL_SHUTTER(3, 10) is 0.3 s.
#define ZEL_PROP_SHUTTER_SPEED 0x00000406u
#define ZEL_SHUTTER(numerator, denominator)                                                        \
    ((((uint32_t)(numerator)) << 16) | ((uint32_t)(denominator)&0xFFFFu))
#define ZEL_SHUTTER_NUMERATOR(value) ((uint32_t)(value) >> 16)
#define ZEL_SHUTTER_DENOMINATOR(value) ((uint32_t)(value)&0xFFFFu)
// Exposure compensation in thousandths of a stop, a signed 32-bit value
// (1333 is +1.3, -667 is -0.7).
#define ZEL_PROP_EXPOSURE_COMPENSATION 0x00000407u
// White balance: one of the ZEL_WB_ values.
#define ZEL_PROP_WHITE_BALANCE 0x00000106u
#define ZEL_WB_AUTO 0u
#define ZEL_WB_DAYLIGHT 1u
#define ZEL_WB_CLOUDY 2u
#define ZEL_WB_TUNGSTEN 3u
#define ZEL_WB_FLUORESCENT 4u
#define ZEL_WB_FLASH 5u
#define ZEL_WB_SHADE 6u
// Live-view size: ZEL_SIZE(width, height) of the frames that
// ZelDownloadEvfImage gives from the next frame on.
#define ZEL_PROP_EVF_SIZE 0x00000510u
#define ZEL_SIZE(width, height) ((((uint32_t)(width)) << 16) | ((uint32_t)(height)&0xFFFFu))
#define ZEL_SIZE_WIDTH(value) ((uint32_t)(value) >> 16)
#define ZEL_SIZE_HEIGHT(value) ((uint32_t)(value)&0xFFFFu)
// Live-view magnification: 1 shows the whole picture, the camera's steps
// (for example 5 and 10) magnify around the zoom position.
#define ZEL_PROP_EVF_ZOOM 0x00000507u
// Centre of the magnified area: ZEL_POINT(x, y) in thousandths of the
// picture's width and height; ZEL_POINT(500, 500) is the middle. Any point
// is taken; the camera keeps the magnified area inside the picture.
#define ZEL_PROP_EVF_ZOOM_POSITION 0x00000508u
#define ZEL_POINT(x, y) ((((uint32_t)(x)) << 16) | ((uint32_t)(y)&0xFFFFu))
#define ZEL_POINT_X(value) ((uint32_t)(value) >> 16)
#define ZEL_POINT_Y(value) ((uint32_t)(value)&0xFFFFu)

// -------------------------------------------------------------------- commands
// Extends the camera's automatic shutdown timer.
#define ZEL_CMD_EXTEND_SHUTDOWN_TIMER 0x00000001u
// Remote shooting: parameter 1 starts it (the barrel opens), 0 stops it.
#define ZEL_CMD_REMOTE_SHOOTING 0x0000010Fu
// Focuses once, as a half press of the shutter button would; parameter 0.
// ZEL_ERR_PROPERTY_UNAVAILABLE on a camera or lens without autofocus.
#define ZEL_CMD_AUTOFOCUS 0x00000004u
// Moves the focus by one of the camera's steps: the parameter is
// ZEL_FOCUS_NEAR(size) or ZEL_FOCUS_FAR(size), size 1 (smallest) to 3.
#define ZEL_CMD_DRIVE_FOCUS 0x00000005u
#define ZEL_FOCUS_NEAR(size) (-(int32_t)(size))
#define ZEL_FOCUS_FAR(size) ((int32_t)(size))

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

// The values a setting allows now, in the camera's order: numElements of
// propDesc, each a value as ZelGetPropertyData gives it. A setting that takes
// any value in its own form (the zoom position) lists none.
typedef struct ZelPropertyDesc {
    int32_t numElements;
    int32_t propDesc[128];
} ZelPropertyDesc;

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
ZelError ZelGetPropertyDesc(__ZelObject* camera, uint32_t property, ZelPropertyDesc* outDesc);
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
