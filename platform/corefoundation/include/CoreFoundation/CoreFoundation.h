// CoreFoundation for Linux: the subset of the platform's CoreFoundation that
// the system uses, under the platform's own names, types and constants.
//
// Objects: every object is reference counted (CFRetain, CFRelease, thread
// safe). Functions with Create or Copy in their name return an object the
// caller owns; Get functions return one the caller does not own.
//
// Message ports are Unix-domain stream sockets in a per-user folder; the wire
// format and the run-loop behaviour are described in docs/message-ports.md.
#ifndef COREFOUNDATION_COREFOUNDATION_H
#define COREFOUNDATION_COREFOUNDATION_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- Basic types ----------------------------------------------------------

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef uint16_t UniChar;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef signed long CFIndex;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFHashCode;
typedef unsigned long CFTypeID;
typedef double CFTimeInterval;

typedef const void* CFTypeRef;

typedef struct {
    CFIndex location;
    CFIndex length;
} CFRange;

static inline CFRange CFRangeMake(CFIndex location, CFIndex length) {
    CFRange range;
    range.location = location;
    range.length = length;
    return range;
}

enum { kCFNotFound = -1 };

// ---- Allocators -----------------------------------------------------------

// Allocators are accepted everywhere for the platform's signatures. Objects
// always live on the process heap; kCFAllocatorNull and kCFAllocatorMalloc
// only matter as the deallocator of CFDataCreateWithBytesNoCopy.
typedef const struct __CFAllocator* CFAllocatorRef;

extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFAllocatorRef kCFAllocatorSystemDefault;
extern const CFAllocatorRef kCFAllocatorMalloc;
extern const CFAllocatorRef kCFAllocatorNull;

// ---- Objects --------------------------------------------------------------

// CFRetain returns its argument. CFRelease of the last reference destroys the
// object. Both are thread safe; NULL is ignored rather than crashing.
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
// Strings compare by their characters, data by their bytes, UUIDs by their
// bytes; other objects by identity.
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
CFHashCode CFHash(CFTypeRef cf);

// ---- CFData ---------------------------------------------------------------

typedef const struct __CFData* CFDataRef;

CFTypeID CFDataGetTypeID(void);
// Copies length bytes; bytes may be NULL when length is 0. Negative length
// gives NULL.
CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length);
// Takes the bytes without copying. bytesDeallocator frees them when the data
// object goes: kCFAllocatorNull never frees them, kCFAllocatorDefault and
// kCFAllocatorMalloc free them with free().
CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator);
const UInt8* CFDataGetBytePtr(CFDataRef theData);
CFIndex CFDataGetLength(CFDataRef theData);
void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer);

// ---- CFString -------------------------------------------------------------

typedef const struct __CFString* CFStringRef;
typedef UInt32 CFStringEncoding;

enum {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingWindowsLatin1 = 0x0500,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100,
};

CFTypeID CFStringGetTypeID(void);
// cStr is NUL-terminated text in the given encoding. Gives NULL when the text
// is not valid in that encoding (bytes above 127 in ASCII, malformed UTF-8)
// or the encoding is not one of MacRoman, ASCII, UTF8, ISOLatin1.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
// Writes the text and a terminating NUL into buffer. Gives false, writing
// nothing usable, when the buffer is too small or a character has no
// representation in the encoding.
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
// The internal text when it is already in the given encoding, else NULL.
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
// Length in UTF-16 code units, as on the platform.
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);

// A constant string that lives as long as the process; retain and release do
// nothing to it. Equal literals give the same object.
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

// ---- CFUUID ---------------------------------------------------------------

typedef const struct __CFUUID* CFUUIDRef;

typedef struct {
    UInt8 byte0;
    UInt8 byte1;
    UInt8 byte2;
    UInt8 byte3;
    UInt8 byte4;
    UInt8 byte5;
    UInt8 byte6;
    UInt8 byte7;
    UInt8 byte8;
    UInt8 byte9;
    UInt8 byte10;
    UInt8 byte11;
    UInt8 byte12;
    UInt8 byte13;
    UInt8 byte14;
    UInt8 byte15;
} CFUUIDBytes;

CFTypeID CFUUIDGetTypeID(void);
// A new random UUID (version 4, RFC 4122 variant) from the kernel's random
// source.
CFUUIDRef CFUUIDCreate(CFAllocatorRef alloc);
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", upper-case hexadecimal.
CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);

// ---- CFRunLoop ------------------------------------------------------------

typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopSource* CFRunLoopSourceRef;
typedef CFStringRef CFRunLoopMode;

extern const CFRunLoopMode kCFRunLoopDefaultMode;
// Sources added in the common modes are served in the default mode.
extern const CFRunLoopMode kCFRunLoopCommonModes;

typedef SInt32 CFRunLoopRunResult;
enum {
    kCFRunLoopRunFinished = 1,      // the mode has no sources
    kCFRunLoopRunStopped = 2,       // CFRunLoopStop
    kCFRunLoopRunTimedOut = 3,      // the time-out passed
    kCFRunLoopRunHandledSource = 4, // returnAfterSourceHandled and a source was handled
};

CFTypeID CFRunLoopGetTypeID(void);
// The calling thread's run loop, created on first use and destroyed when the
// thread ends; the caller does not own it (retain it to keep it longer).
CFRunLoopRef CFRunLoopGetCurrent(void);
// Runs the current thread's run loop in the default mode until it is stopped
// or has no sources left.
void CFRunLoopRun(void);
// Runs the current thread's run loop in mode for at most seconds (0 makes one
// pass without waiting). A CFRunLoopStop that arrived while the loop was not
// running is kept and makes the next run return kCFRunLoopRunStopped at once.
CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled);
// Both may be called from any thread.
void CFRunLoopStop(CFRunLoopRef rl);
void CFRunLoopWakeUp(CFRunLoopRef rl);
Boolean CFRunLoopIsWaiting(CFRunLoopRef rl);

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);

CFTypeID CFRunLoopSourceGetTypeID(void);
// An invalidated source is removed from every run loop that holds it.
void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source);
Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source);
CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source);

// ---- CFMessagePort --------------------------------------------------------

typedef struct __CFMessagePort* CFMessagePortRef;

enum {
    kCFMessagePortSuccess = 0,
    kCFMessagePortSendTimeout = -1,
    kCFMessagePortReceiveTimeout = -2,
    kCFMessagePortIsInvalid = -3,
    kCFMessagePortTransportError = -4,
    kCFMessagePortBecameInvalidError = -5,
};

typedef struct {
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
} CFMessagePortContext;

// Runs for each message on the thread whose run loop holds the port's source.
// data is the message (never NULL when the sender sent data; released after
// the call). The returned data, if any, is the reply; the port releases it
// after sending.
typedef CFDataRef (*CFMessagePortCallBack)(CFMessagePortRef local, SInt32 msgid, CFDataRef data,
                                           void* info);
typedef void (*CFMessagePortInvalidationCallBack)(CFMessagePortRef ms, void* info);

CFTypeID CFMessagePortGetTypeID(void);
// Serves name. Gives NULL while a live port (of any process) serves the name,
// when the name does not fit a socket address or the port folder is unusable.
// The name of a port whose process has died is taken over.
CFMessagePortRef CFMessagePortCreateLocal(CFAllocatorRef allocator, CFStringRef name,
                                          CFMessagePortCallBack callout,
                                          CFMessagePortContext* context, Boolean* shouldFreeInfo);
// Connects to the port serving name; NULL at once when none does.
CFMessagePortRef CFMessagePortCreateRemote(CFAllocatorRef allocator, CFStringRef name);
// The source that serves a local port's messages (the same one on every call,
// retained for the caller); NULL for a remote or invalid port.
CFRunLoopSourceRef CFMessagePortCreateRunLoopSource(CFAllocatorRef allocator,
                                                    CFMessagePortRef local, CFIndex order);
// Sends data (NULL sends no data) with message identifier msgid. The send
// counts as done when the server has read the whole message, within
// sendTimeout. With a replyMode the call then waits up to rcvTimeout for the
// reply and stores it in *returnData (the caller owns it; NULL when the
// callback returned none); without one it returns after the send.
SInt32 CFMessagePortSendRequest(CFMessagePortRef remote, SInt32 msgid, CFDataRef data,
                                CFTimeInterval sendTimeout, CFTimeInterval rcvTimeout,
                                CFStringRef replyMode, CFDataRef* returnData);
// A local port stops serving and gives up its name; a remote port closes its
// connection. The invalidation callback runs once.
void CFMessagePortInvalidate(CFMessagePortRef ms);
// A remote port whose server has gone away reports false.
Boolean CFMessagePortIsValid(CFMessagePortRef ms);
Boolean CFMessagePortIsRemote(CFMessagePortRef ms);
CFStringRef CFMessagePortGetName(CFMessagePortRef ms);
void CFMessagePortGetContext(CFMessagePortRef ms, CFMessagePortContext* context);
void CFMessagePortSetInvalidationCallBack(CFMessagePortRef ms,
                                          CFMessagePortInvalidationCallBack callout);

// Largest message or reply payload the transport carries: 64 MiB.
#define kCFMessagePortMaximumMessageSize (64 * 1024 * 1024)

#ifdef __cplusplus
}
#endif

#endif
