// How libgphoto2's result codes become the SDK's. The same code means
// different things at different steps: "camera busy" while a session is being
// opened is another program holding the camera, while live view runs it is a
// frame that is not ready yet.
#ifndef ZELSDK_GPHOTO2_GPHOTOERRORS_H
#define ZELSDK_GPHOTO2_GPHOTOERRORS_H

#include <ZelSDK/ZelSDK.h>

namespace zelgp {

enum class Step {
    Detect,   // listing the cameras
    Open,     // gp_camera_init
    Close,    // gp_camera_exit
    Config,   // reading or writing the viewfinder setting
    Download, // gp_camera_capture_preview
    Event,    // gp_camera_wait_for_event
    Setting,  // reading or writing a camera setting, or a focus command
};

ZelError MapError(int gpResult, Step step);

// The code says the connection to the camera is gone (unplugged, switched
// off, the network link dropped): the camera must be opened anew.
bool ConnectionLost(int gpResult);

} // namespace zelgp

#endif
