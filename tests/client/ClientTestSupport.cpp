#include "ClientTestSupport.h"

#include "CVLPaths.h"
#include "TestSupport.h"

namespace cvl::test {

Bytes NumberedFrame(int32_t number, size_t size) {
    Bytes bytes(size);
    const uint32_t bits = static_cast<uint32_t>(number);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(i < 4 ? bits >> (8 * i) : (bits * 7 + i * 13) & 0xFF);
    return bytes;
}

int32_t FrameNumber(const Bytes& bytes) {
    if (bytes.size() < 4)
        return -1;
    const uint32_t bits = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                          (static_cast<uint32_t>(bytes[2]) << 16) |
                          (static_cast<uint32_t>(bytes[3]) << 24);
    const int32_t number = static_cast<int32_t>(bits);
    return NumberedFrame(number, bytes.size()) == bytes ? number : -1;
}

Bytes BytesOf(const EvfFrame& frame) {
    if (!frame.GetBuf())
        return Bytes();
    return Bytes(frame.GetBuf(), frame.GetBuf() + frame.GetBufSize());
}

Bytes BytesOf(const std::unique_ptr<EvfFrame>& frame) {
    return frame ? BytesOf(*frame) : Bytes();
}

namespace {
Bytes FileBytes(const char* fixedPath) {
    std::string contents;
    ReadFile(CVLResolvePath(fixedPath), contents);
    return Bytes(contents.begin(), contents.end());
}
} // namespace

Bytes ErrorFrame() {
    return FileBytes(CVL_PATH_ERROR_FRAME);
}
Bytes BusyFrame() {
    return FileBytes(CVL_PATH_BUSY_FRAME);
}
Bytes DisconnectedFrame() {
    return FileBytes(CVL_PATH_NO_DEVICE_FRAME);
}

bool SendFrameTo(const std::string& portName, const Bytes& payload, Bytes* reply) {
    CFStringRef name =
        CFStringCreateWithCString(kCFAllocatorDefault, portName.c_str(), kCFStringEncodingMacRoman);
    CFMessagePortRef port = CFMessagePortCreateRemote(kCFAllocatorDefault, name);
    CFRelease(name);
    if (!port)
        return false;
    CFDataRef data =
        CFDataCreate(kCFAllocatorDefault, payload.data(), static_cast<CFIndex>(payload.size()));
    CFDataRef replyData = nullptr;
    const SInt32 status =
        CFMessagePortSendRequest(port, 0, data, 1.0, 1.0, kCFRunLoopDefaultMode, &replyData);
    CFRelease(data);
    if (replyData) {
        if (reply)
            reply->assign(CFDataGetBytePtr(replyData),
                          CFDataGetBytePtr(replyData) + CFDataGetLength(replyData));
        CFRelease(replyData);
    }
    CFMessagePortInvalidate(port);
    CFRelease(port);
    return status == kCFMessagePortSuccess;
}

} // namespace cvl::test
