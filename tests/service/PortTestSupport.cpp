#include "PortTestSupport.h"

#include "CVLPaths.h"
#include "SuccessReply.h"
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

RecordingRequestPort::RecordingRequestPort()
    : m_port(CVL_REQUEST_PORT_NAME, [this](CFDataRef data) {
          std::lock_guard<std::mutex> lock(m_mutex);
          m_payloads.emplace_back(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                                  static_cast<size_t>(CFDataGetLength(data)));
          return CreateSuccessReply();
      }) {}

std::vector<std::string> RecordingRequestPort::Payloads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_payloads;
}

} // namespace cvl::test
