#include "cvlhost/FrameKind.h"

namespace cvl::host {

const char* KindName(FrameKind kind) {
    switch (kind) {
    case FrameKind::Live:
        return "live";
    case FrameKind::Error:
        return "error";
    case FrameKind::Busy:
        return "busy";
    case FrameKind::Disconnected:
        return "disconnected";
    }
    return "unknown";
}

} // namespace cvl::host
