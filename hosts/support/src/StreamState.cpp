#include "cvlhost/StreamState.h"

namespace cvl::host {

const char* StateText(StreamState state) {
    switch (state) {
    case StreamState::Live:
        return "live";
    case StreamState::ServiceNotRunning:
        return "service not running";
    case StreamState::CameraBusy:
        return "camera busy";
    case StreamState::NoCamera:
        return "no camera";
    case StreamState::Waiting:
        break;
    }
    return "waiting";
}

} // namespace cvl::host
