// Temporary stubs so that dependants link while the implementation lands.
#include <CoreFoundation/CoreFoundation.h>

#define CF_EXPORT

extern "C" {
CF_EXPORT const CFAllocatorRef kCFAllocatorDefault = nullptr;
CF_EXPORT const CFAllocatorRef kCFAllocatorSystemDefault = nullptr;
CF_EXPORT const CFAllocatorRef kCFAllocatorMalloc = nullptr;
CF_EXPORT const CFAllocatorRef kCFAllocatorNull = nullptr;
CF_EXPORT const CFRunLoopMode kCFRunLoopDefaultMode = nullptr;
CF_EXPORT const CFRunLoopMode kCFRunLoopCommonModes = nullptr;
CF_EXPORT CFTypeRef CFRetain(CFTypeRef cf) {
    return cf;
}
CF_EXPORT void CFRelease(CFTypeRef) {}
CF_EXPORT CFIndex CFGetRetainCount(CFTypeRef) {
    return 1;
}
CF_EXPORT CFTypeID CFGetTypeID(CFTypeRef) {
    return 0;
}
CF_EXPORT Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
    return a == b;
}
CF_EXPORT CFHashCode CFHash(CFTypeRef) {
    return 0;
}
CF_EXPORT CFTypeID CFDataGetTypeID(void) {
    return 0;
}
CF_EXPORT CFDataRef CFDataCreate(CFAllocatorRef, const UInt8*, CFIndex) {
    return nullptr;
}
CF_EXPORT CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef, const UInt8*, CFIndex,
                                                CFAllocatorRef) {
    return nullptr;
}
CF_EXPORT const UInt8* CFDataGetBytePtr(CFDataRef) {
    return nullptr;
}
CF_EXPORT CFIndex CFDataGetLength(CFDataRef) {
    return 0;
}
CF_EXPORT void CFDataGetBytes(CFDataRef, CFRange, UInt8*) {}
CF_EXPORT CFTypeID CFStringGetTypeID(void) {
    return 0;
}
CF_EXPORT CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char*, CFStringEncoding) {
    return nullptr;
}
CF_EXPORT CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8*, CFIndex,
                                              CFStringEncoding, Boolean) {
    return nullptr;
}
CF_EXPORT Boolean CFStringGetCString(CFStringRef, char*, CFIndex, CFStringEncoding) {
    return false;
}
CF_EXPORT const char* CFStringGetCStringPtr(CFStringRef, CFStringEncoding) {
    return nullptr;
}
CF_EXPORT CFIndex CFStringGetLength(CFStringRef) {
    return 0;
}
CF_EXPORT CFIndex CFStringGetMaximumSizeForEncoding(CFIndex l, CFStringEncoding) {
    return l * 3;
}
CF_EXPORT CFStringRef __CFStringMakeConstantString(const char*) {
    return nullptr;
}
CF_EXPORT CFTypeID CFUUIDGetTypeID(void) {
    return 0;
}
CF_EXPORT CFUUIDRef CFUUIDCreate(CFAllocatorRef) {
    return nullptr;
}
CF_EXPORT CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes) {
    return nullptr;
}
CF_EXPORT CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef) {
    return CFUUIDBytes();
}
CF_EXPORT CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef) {
    return nullptr;
}
CF_EXPORT CFTypeID CFRunLoopGetTypeID(void) {
    return 0;
}
CF_EXPORT CFRunLoopRef CFRunLoopGetCurrent(void) {
    return nullptr;
}
CF_EXPORT void CFRunLoopRun(void) {}
CF_EXPORT CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode, CFTimeInterval, Boolean) {
    return kCFRunLoopRunFinished;
}
CF_EXPORT void CFRunLoopStop(CFRunLoopRef) {}
CF_EXPORT void CFRunLoopWakeUp(CFRunLoopRef) {}
CF_EXPORT Boolean CFRunLoopIsWaiting(CFRunLoopRef) {
    return false;
}
CF_EXPORT void CFRunLoopAddSource(CFRunLoopRef, CFRunLoopSourceRef, CFRunLoopMode) {}
CF_EXPORT void CFRunLoopRemoveSource(CFRunLoopRef, CFRunLoopSourceRef, CFRunLoopMode) {}
CF_EXPORT Boolean CFRunLoopContainsSource(CFRunLoopRef, CFRunLoopSourceRef, CFRunLoopMode) {
    return false;
}
CF_EXPORT CFTypeID CFRunLoopSourceGetTypeID(void) {
    return 0;
}
CF_EXPORT void CFRunLoopSourceInvalidate(CFRunLoopSourceRef) {}
CF_EXPORT Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef) {
    return false;
}
CF_EXPORT CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef) {
    return 0;
}
CF_EXPORT CFTypeID CFMessagePortGetTypeID(void) {
    return 0;
}
CF_EXPORT CFMessagePortRef CFMessagePortCreateLocal(CFAllocatorRef, CFStringRef,
                                                    CFMessagePortCallBack, CFMessagePortContext*,
                                                    Boolean*) {
    return nullptr;
}
CF_EXPORT CFMessagePortRef CFMessagePortCreateRemote(CFAllocatorRef, CFStringRef) {
    return nullptr;
}
CF_EXPORT CFRunLoopSourceRef CFMessagePortCreateRunLoopSource(CFAllocatorRef, CFMessagePortRef,
                                                              CFIndex) {
    return nullptr;
}
CF_EXPORT SInt32 CFMessagePortSendRequest(CFMessagePortRef, SInt32, CFDataRef, CFTimeInterval,
                                          CFTimeInterval, CFStringRef, CFDataRef*) {
    return kCFMessagePortIsInvalid;
}
CF_EXPORT void CFMessagePortInvalidate(CFMessagePortRef) {}
CF_EXPORT Boolean CFMessagePortIsValid(CFMessagePortRef) {
    return false;
}
CF_EXPORT Boolean CFMessagePortIsRemote(CFMessagePortRef) {
    return false;
}
CF_EXPORT CFStringRef CFMessagePortGetName(CFMessagePortRef) {
    return nullptr;
}
CF_EXPORT void CFMessagePortGetContext(CFMessagePortRef, CFMessagePortContext*) {}
CF_EXPORT void CFMessagePortSetInvalidationCallBack(CFMessagePortRef,
                                                    CFMessagePortInvalidationCallBack) {}
}
