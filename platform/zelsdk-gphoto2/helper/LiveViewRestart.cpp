#include "LiveViewRestart.h"

#include <gphoto2/gphoto2-result.h>
#include <gphoto2/gphoto2-widget.h>

#include <fcntl.h>
#include <unistd.h>

namespace zelgp {

bool LiveViewMayHaveEnded(int gpResult) {
    // The driver's word for an answer it did not expect, and the camera's
    // own error: the connection carried an answer.
    return gpResult == GP_ERROR || gpResult == GP_ERROR_CAMERA_ERROR;
}

int SetToggle(Camera* camera, const char* name, bool on, GPContext* context) {
    CameraWidget* widget = nullptr;
    int result = gp_camera_get_single_config(camera, name, &widget, context);
    if (result < GP_OK)
        return result;
    int value = on ? 1 : 0;
    result = gp_widget_set_value(widget, &value);
    if (result >= GP_OK)
        result = gp_camera_set_single_config(camera, name, widget, context);
    gp_widget_free(widget);
    return result;
}

int RestartLiveView(Camera* camera, GPContext* context) {
    if (SetToggle(camera, "viewfinder", false, context) >= GP_OK)
        return SetToggle(camera, "viewfinder", true, context);
    // The session ends politely (the body frees it at once) and a new one
    // opens; what the driver knew of the camera is read again.
    gp_camera_exit(camera, context);
    RepairStandardDescriptors();
    return gp_camera_init(camera, context);
}

void RepairStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

} // namespace zelgp
