#include "cvlhost/RequestPort.h"

#include <CoreFoundation/CoreFoundation.h>

namespace cvl::host {

std::string RequestPortName() {
    return CVLHOST_SERVICE_IDENTIFIER ".Request";
}

bool RequestPortServed() {
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, RequestPortName().c_str(),
                                                 kCFStringEncodingASCII);
    if (!name)
        return false;
    CFMessagePortRef port = CFMessagePortCreateRemote(kCFAllocatorDefault, name);
    CFRelease(name);
    if (!port)
        return false;
    CFMessagePortInvalidate(port);
    CFRelease(port);
    return true;
}

} // namespace cvl::host
