#include "GphotoErrors.h"

#include <gphoto2/gphoto2-port-result.h>
#include <gphoto2/gphoto2-result.h>

namespace zelgp {

namespace {

// The port is held by another process: the kernel driver or another
// program claimed the USB interface, the port lock is taken, or the camera
// itself answered that another host has its session.
bool HeldElsewhere(int gpResult) {
    return gpResult == GP_ERROR_IO_USB_CLAIM || gpResult == GP_ERROR_IO_LOCK;
}

} // namespace

bool ConnectionLost(int gpResult) {
    switch (gpResult) {
    case GP_ERROR:
    case GP_ERROR_TIMEOUT:
    case GP_ERROR_IO:
    case GP_ERROR_IO_SUPPORTED_SERIAL:
    case GP_ERROR_IO_SUPPORTED_USB:
    case GP_ERROR_IO_INIT:
    case GP_ERROR_IO_READ:
    case GP_ERROR_IO_WRITE:
    case GP_ERROR_IO_UPDATE:
    case GP_ERROR_IO_SERIAL_SPEED:
    case GP_ERROR_IO_USB_CLEAR_HALT:
    case GP_ERROR_IO_USB_FIND:
    case GP_ERROR_CAMERA_ERROR:
    case GP_ERROR_MODEL_NOT_FOUND:
    case GP_ERROR_UNKNOWN_PORT:
        return true;
    default:
        return false;
    }
}

ZelError MapError(int gpResult, Step step) {
    if (gpResult >= GP_OK)
        return ZEL_ERR_OK;
    if (HeldElsewhere(gpResult))
        return ZEL_ERR_COMM_PORT_IS_IN_USE;
    if (step == Step::Setting) {
        // The camera is focusing or writing: the caller tries again. A
        // value the driver or the camera refused (a camera's refusal is a
        // plain GP_ERROR) is a value not allowed now.
        if (gpResult == GP_ERROR_CAMERA_BUSY)
            return ZEL_ERR_DEVICE_BUSY;
        if (gpResult == GP_ERROR_BAD_PARAMETERS || gpResult == GP_ERROR)
            return ZEL_ERR_INVALID_PARAMETER;
        if (gpResult == GP_ERROR_NOT_SUPPORTED)
            return ZEL_ERR_PROPERTY_UNAVAILABLE;
    }
    if (gpResult == GP_ERROR_CAMERA_BUSY) {
        // Busy while live view runs is a frame still on its way; anywhere
        // else the camera is serving another host.
        if (step == Step::Download)
            return ZEL_ERR_FRAME_NOT_READY;
        if (step == Step::Event)
            return ZEL_ERR_OK;
        return ZEL_ERR_COMM_PORT_IS_IN_USE;
    }
    if (gpResult == GP_ERROR_NO_MEMORY)
        return ZEL_ERR_MEMORY_FULL;
    if (gpResult == GP_ERROR_NOT_SUPPORTED)
        return step == Step::Download ? ZEL_ERR_INTERNAL_ERROR : ZEL_ERR_PROPERTY_UNAVAILABLE;
    if (gpResult == GP_ERROR_BAD_PARAMETERS && step == Step::Config)
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    if (ConnectionLost(gpResult))
        return ZEL_ERR_DEVICE_NOT_FOUND;
    return ZEL_ERR_INTERNAL_ERROR;
}

} // namespace zelgp
