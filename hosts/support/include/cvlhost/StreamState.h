// Why a host shows what it shows: live video, or the reason there is none.
#ifndef CVLHOST_STREAMSTATE_H
#define CVLHOST_STREAMSTATE_H

namespace cvl::host {

enum class StreamState {
    Waiting,           // the stream was asked for; no frame yet (or frames stopped)
    Live,              // new live frames come
    ServiceNotRunning, // the service's request port is not served
    CameraBusy,        // another program holds the camera (or the service's one stream)
    NoCamera,          // the service finds no camera
};

// "waiting", "live", "service not running", "camera busy", "no camera".
const char* StateText(StreamState state);

} // namespace cvl::host

#endif
