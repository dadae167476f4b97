#include "PortTestSupport.h"

#include "TestSupport.h"

namespace cvl::test {

ServedPort::ServedPort(const std::string& name, Handler handler) : m_handler(std::move(handler)) {
    m_thread = std::thread([this, name] { Run(name); });
    WaitFor([this] { return m_serving.load(); });
}

ServedPort::~ServedPort() {
    m_stop = true;
    m_thread.join();
}

CFDataRef ServedPort::Callback(CFMessagePortRef, SInt32, CFDataRef data, void* info) {
    return static_cast<ServedPort*>(info)->m_handler(data);
}

void ServedPort::Run(const std::string& name) {
    CFStringRef cfName =
        CFStringCreateWithCString(kCFAllocatorDefault, name.c_str(), kCFStringEncodingMacRoman);
    CFMessagePortContext context = {0, this, nullptr, nullptr, nullptr};
    CFMessagePortRef port = CFMessagePortCreateLocal(kCFAllocatorDefault, cfName,
                                                     &ServedPort::Callback, &context, nullptr);
    CFRelease(cfName);
    if (!port)
        return;
    CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    m_serving = true;
    while (!m_stop)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, false);
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);
    CFMessagePortInvalidate(port);
    CFRelease(port);
}

} // namespace cvl::test
