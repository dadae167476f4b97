// libgphoto2's result codes as the SDK's: the codes on which the service
// decides between the busy frame, the disconnected frame and waiting for the
// next frame.
#include "GphotoErrors.h"

#include <gphoto2/gphoto2-port-result.h>
#include <gphoto2/gphoto2-result.h>

#include <gtest/gtest.h>

namespace zelgp {
namespace {

const Step kAllSteps[] = {Step::Detect, Step::Open,     Step::Close,
                          Step::Config, Step::Download, Step::Event};

TEST(GphotoErrors, SuccessIsZeroWhateverTheStep) {
    for (Step step : kAllSteps) {
        EXPECT_EQ(MapError(GP_OK, step), ZEL_ERR_OK);
        // Some calls return a count or an index on success.
        EXPECT_EQ(MapError(3, step), ZEL_ERR_OK);
    }
}

TEST(GphotoErrors, APortHeldByAnotherProgramIsBusyAtEveryStep) {
    // A file manager or the kernel driver holding the USB interface, or the
    // port lock taken.
    for (Step step : kAllSteps) {
        EXPECT_EQ(MapError(GP_ERROR_IO_USB_CLAIM, step), ZEL_ERR_COMM_PORT_IS_IN_USE);
        EXPECT_EQ(MapError(GP_ERROR_IO_LOCK, step), ZEL_ERR_COMM_PORT_IS_IN_USE);
    }
    // The camera answering that another host has its session.
    EXPECT_EQ(MapError(GP_ERROR_CAMERA_BUSY, Step::Open), ZEL_ERR_COMM_PORT_IS_IN_USE);
    EXPECT_EQ(MapError(GP_ERROR_CAMERA_BUSY, Step::Config), ZEL_ERR_COMM_PORT_IS_IN_USE);
}

TEST(GphotoErrors, BusyDuringLiveViewIsAFrameNotReadyAndNoEventError) {
    // Cameras answer "busy" while the next live-view frame is not there.
    EXPECT_EQ(MapError(GP_ERROR_CAMERA_BUSY, Step::Download), ZEL_ERR_FRAME_NOT_READY);
    EXPECT_EQ(MapError(GP_ERROR_CAMERA_BUSY, Step::Event), ZEL_ERR_OK);
    EXPECT_FALSE(ConnectionLost(GP_ERROR_CAMERA_BUSY));
}

TEST(GphotoErrors, AVanishedCameraIsDeviceNotFound) {
    const int vanished[] = {GP_ERROR_IO,
                            GP_ERROR_IO_READ,
                            GP_ERROR_IO_WRITE,
                            GP_ERROR_IO_USB_FIND,
                            GP_ERROR_IO_INIT,
                            GP_ERROR_TIMEOUT,
                            GP_ERROR_MODEL_NOT_FOUND,
                            GP_ERROR_UNKNOWN_PORT,
                            GP_ERROR,
                            GP_ERROR_IO_USB_CLEAR_HALT};
    for (int code : vanished) {
        EXPECT_TRUE(ConnectionLost(code)) << code;
        for (Step step : kAllSteps)
            EXPECT_EQ(MapError(code, step), ZEL_ERR_DEVICE_NOT_FOUND) << code;
    }
    // Busy is not gone: the reconnect must not treat it as unplugged.
    EXPECT_FALSE(ConnectionLost(GP_ERROR_IO_USB_CLAIM));
    EXPECT_FALSE(ConnectionLost(GP_ERROR_IO_LOCK));
}

TEST(GphotoErrors, WhatTheCameraLacksIsUnavailableOrAnInternalError) {
    EXPECT_EQ(MapError(GP_ERROR_NOT_SUPPORTED, Step::Config), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(MapError(GP_ERROR_BAD_PARAMETERS, Step::Config), ZEL_ERR_PROPERTY_UNAVAILABLE);
    // A camera without live view cannot stream: not a frame still to come.
    EXPECT_EQ(MapError(GP_ERROR_NOT_SUPPORTED, Step::Download), ZEL_ERR_INTERNAL_ERROR);
    EXPECT_EQ(MapError(GP_ERROR_NO_MEMORY, Step::Download), ZEL_ERR_MEMORY_FULL);
    EXPECT_EQ(MapError(GP_ERROR_CORRUPTED_DATA, Step::Download), ZEL_ERR_INTERNAL_ERROR);
    EXPECT_EQ(MapError(GP_ERROR_LIBRARY, Step::Open), ZEL_ERR_INTERNAL_ERROR);
    // Every failure stays a failure (busy while polling events aside), and
    // none becomes "not initialised" or a reference error, which would blame
    // the caller.
    for (int code = -1; code >= -120; --code)
        for (Step step : kAllSteps) {
            const ZelError e = MapError(code, step);
            if (!(code == GP_ERROR_CAMERA_BUSY && step == Step::Event)) {
                EXPECT_NE(e, ZEL_ERR_OK) << code;
            }
            EXPECT_NE(e, ZEL_ERR_SDK_NOT_INITIALIZED) << code;
            EXPECT_NE(e, ZEL_ERR_INVALID_HANDLE) << code;
        }
}

TEST(GphotoErrors, ASettingTheCameraCannotTakeNowIsBusyAndARefusedValueNotAllowed) {
    EXPECT_EQ(MapError(GP_ERROR_CAMERA_BUSY, Step::Setting), ZEL_ERR_DEVICE_BUSY);
    // A camera's refusal of a value arrives as a plain GP_ERROR.
    EXPECT_EQ(MapError(GP_ERROR, Step::Setting), ZEL_ERR_INVALID_PARAMETER);
    EXPECT_EQ(MapError(GP_ERROR_BAD_PARAMETERS, Step::Setting), ZEL_ERR_INVALID_PARAMETER);
    EXPECT_EQ(MapError(GP_ERROR_NOT_SUPPORTED, Step::Setting), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(MapError(GP_ERROR_IO_READ, Step::Setting), ZEL_ERR_DEVICE_NOT_FOUND);
}

} // namespace
} // namespace zelgp
