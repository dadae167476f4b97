// A peer's whole byte stream on one connection to a local message port: any
// number of well- or ill-formed messages, then the end of the stream. The
// server must close the connection (at once for bad input, at the end of the
// stream otherwise) and keep serving: after every input a request from a
// regular remote port must still get its reply.
#include "FuzzScratch.h"

#include <CoreFoundation/CoreFoundation.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

const char kPortName[] = "cvl.fuzz.port";
CFMessagePortRef g_remote = nullptr;
std::string g_socketPath;

// Echoes the request's bytes, so that replies of every size are written too.
CFDataRef Echo(CFMessagePortRef, SInt32, CFDataRef data, void*) {
    if (!data)
        return nullptr;
    return CFDataCreate(nullptr, CFDataGetBytePtr(data), CFDataGetLength(data));
}

void StartServer() {
    std::mutex mutex;
    std::condition_variable ready;
    bool started = false;
    std::thread([&] {
        CFStringRef name = CFStringCreateWithCString(nullptr, kPortName, kCFStringEncodingUTF8);
        CFMessagePortRef port = CFMessagePortCreateLocal(nullptr, name, Echo, nullptr, nullptr);
        if (!port)
            cvl::fuzz::Fail("cannot create the local port");
        CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        {
            std::lock_guard<std::mutex> lock(mutex);
            started = true;
        }
        ready.notify_one();
        CFRunLoopRun(); // serves until the process ends
    }).detach();
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [&] { return started; });
}

void CheckStillServing() {
    static const UInt8 probe[] = {'p', 'r', 'o', 'b', 'e'};
    CFDataRef request = CFDataCreate(nullptr, probe, sizeof probe);
    CFDataRef reply = nullptr;
    const SInt32 result =
        CFMessagePortSendRequest(g_remote, 7, request, 5.0, 5.0, kCFRunLoopDefaultMode, &reply);
    CFRelease(request);
    if (result != kCFMessagePortSuccess || !reply)
        cvl::fuzz::Fail("the port stopped serving a regular request");
    const bool same = CFDataGetLength(reply) == sizeof probe &&
                      std::memcmp(CFDataGetBytePtr(reply), probe, sizeof probe) == 0;
    CFRelease(reply);
    if (!same)
        cvl::fuzz::Fail("a regular request got another request's reply");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string& scratch = cvl::fuzz::Scratch();
    g_socketPath = scratch + "/run/CFMessagePort/" + kPortName;
    StartServer();
    CFStringRef name = CFStringCreateWithCString(nullptr, kPortName, kCFStringEncodingUTF8);
    g_remote = CFMessagePortCreateRemote(nullptr, name);
    CFRelease(name);
    if (!g_remote)
        cvl::fuzz::Fail("cannot reach the local port");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string received;
    // The server never waits more than a second for a peer to take an
    // answer; 20 s without the connection closed is a stall.
    if (!cvl::fuzz::Converse(g_socketPath, data, size, received, 20))
        cvl::fuzz::Fail("the server kept a finished connection open");
    CheckStillServing();
    return 0;
}
