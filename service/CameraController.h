// The camera controller, as far as the units built so far need it: the
// request listener hands every request text to AddRequest. The controller
// itself, with its request queue and thread, follows with the camera.
#ifndef CVL_SERVICE_CAMERACONTROLLER_H
#define CVL_SERVICE_CAMERACONTROLLER_H

#include <string>

class CameraController {
public:
    // Appends one request text to the controller's request queue.
    void AddRequest(std::string request);
};

#endif
