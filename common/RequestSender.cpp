#include "RequestSender.h"

#include "CVLPaths.h"

bool SendRequestText(const std::string& text) {
    return SendRequestForReply(text, nullptr);
}

bool SendRequestForReply(const std::string& text, std::string* replyText) {
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, CVL_REQUEST_PORT_NAME,
                                                 kCFStringEncodingASCII);
    if (!name)
        return false;
    CFMessagePortRef port = CFMessagePortCreateRemote(kCFAllocatorDefault, name);
    CFRelease(name);
    if (!port)
        return false;

    // c_str() carries the terminating NUL, which belongs to the payload.
    CFDataRef payload =
        CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.c_str()),
                     static_cast<CFIndex>(text.size() + 1));
    SInt32 status = kCFMessagePortTransportError;
    if (payload) {
        CFDataRef reply = nullptr;
        status = CFMessagePortSendRequest(port, 0, payload, kRequestSendTimeout,
                                          kRequestReceiveTimeout, kCFRunLoopDefaultMode, &reply);
        if (reply && replyText) {
            // The reply's text, up to its NUL byte or its end.
            const UInt8* bytes = CFDataGetBytePtr(reply);
            const CFIndex length = CFDataGetLength(reply);
            CFIndex end = 0;
            while (bytes && end < length && bytes[end] != 0)
                ++end;
            replyText->assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(end));
        }
        if (reply)
            CFRelease(reply);
        CFRelease(payload);
    }
    CFMessagePortInvalidate(port);
    CFRelease(port);
    return status == kCFMessagePortSuccess;
}

bool RequestPortServed() {
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, CVL_REQUEST_PORT_NAME,
                                                 kCFStringEncodingASCII);
    if (!name)
        return false;
    const bool served = PortServed(name);
    CFRelease(name);
    return served;
}

bool PortServed(CFStringRef name) {
    CFMessagePortRef port = CFMessagePortCreateRemote(kCFAllocatorDefault, name);
    if (!port)
        return false;
    CFMessagePortInvalidate(port);
    CFRelease(port);
    return true;
}
