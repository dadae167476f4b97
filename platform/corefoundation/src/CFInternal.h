// Object layouts shared by the units of the CoreFoundation stand-in.
#ifndef COREFOUNDATION_SRC_CFINTERNAL_H
#define COREFOUNDATION_SRC_CFINTERNAL_H

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <string>

enum : CFTypeID {
    kTypeData = 1,
    kTypeString,
    kTypeUUID,
    kTypeRunLoop,
    kTypeRunLoopSource,
    kTypeMessagePort
};

// Every object starts with this base; CFRelease of the last reference
// deletes it through the virtual destructor.
struct CFObject {
    explicit CFObject(CFTypeID t) : type(t) {}
    virtual ~CFObject() = default;
    std::atomic<CFIndex> refs{1};
    CFTypeID type;
    bool immortal = false;
};

struct __CFData : CFObject {
    __CFData() : CFObject(kTypeData) {}
    ~__CFData() override;
    UInt8* bytes = nullptr;
    CFIndex length = 0;
    size_t capacity = 0; // bytes allocated, for the buffer cache
    bool ownsBytes = false;
};

struct __CFString : CFObject {
    __CFString() : CFObject(kTypeString) {}
    std::string utf8;
    CFIndex length = 0;
};

struct __CFUUID : CFObject {
    __CFUUID() : CFObject(kTypeUUID) {}
    CFUUIDBytes bytes{};
};

// Retains p and returns it with its own type.
template <class T> T Retained(T p) {
    CFRetain(p);
    return p;
}

// A data object of length bytes whose contents the caller fills in. Its
// capacity may exceed length when a cached buffer was reused.
__CFData* CFDataCreateUninitialized(CFIndex length);

#include <mutex>
#include <poll.h>
#include <vector>

struct __CFRunLoopSource : CFObject {
    __CFRunLoopSource() : CFObject(kTypeRunLoopSource) {}
    ~__CFRunLoopSource() override;
    CFIndex order = 0;
    std::atomic<bool> valid{true};
    CFMessagePortRef port = nullptr; // retained
    std::mutex loopsMutex;           // guards loops
    std::vector<CFRunLoopRef> loops; // run loops holding this source
};

// Run-loop side of a message port: the descriptors to watch (lowering
// timeoutMs to the port's nearest deadline), and the work once poll() has
// returned, also when it timed out. Perform handles at most budget messages
// and returns how many it handled.
void CFMessagePortCollect(CFMessagePortRef port, std::vector<pollfd>& fds, int& timeoutMs);
int CFMessagePortPerform(CFMessagePortRef port, const pollfd* fds, size_t count, int budget);
void CFMessagePortSourceGone(CFMessagePortRef port, CFRunLoopSourceRef source);

// Wakes every run loop that holds source.
void CFRunLoopSourceWakeLoops(CFRunLoopSourceRef source);
#endif
