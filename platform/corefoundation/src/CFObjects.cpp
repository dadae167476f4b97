// Reference-counted objects: the base, data, strings and UUIDs.
#include "CFInternal.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/random.h>
#include <unordered_map>

struct __CFAllocator {
    int kind;
};
static __CFAllocator g_allocDefault{0}, g_allocMalloc{1}, g_allocNull{2};
extern "C" {
const CFAllocatorRef kCFAllocatorDefault = &g_allocDefault;
const CFAllocatorRef kCFAllocatorSystemDefault = &g_allocDefault;
const CFAllocatorRef kCFAllocatorMalloc = &g_allocMalloc;
const CFAllocatorRef kCFAllocatorNull = &g_allocNull;
}

static CFObject* Obj(CFTypeRef cf) {
    return static_cast<CFObject*>(const_cast<void*>(cf));
}

extern "C" CFTypeRef CFRetain(CFTypeRef cf) {
    if (cf && !Obj(cf)->immortal)
        Obj(cf)->refs.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

extern "C" void CFRelease(CFTypeRef cf) {
    if (!cf || Obj(cf)->immortal)
        return;
    if (Obj(cf)->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete Obj(cf);
}

extern "C" CFIndex CFGetRetainCount(CFTypeRef cf) {
    return cf ? Obj(cf)->refs.load() : 0;
}
extern "C" CFTypeID CFGetTypeID(CFTypeRef cf) {
    return cf ? Obj(cf)->type : 0;
}

extern "C" Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
    if (a == b)
        return true;
    if (!a || !b || Obj(a)->type != Obj(b)->type)
        return false;
    switch (Obj(a)->type) {
    case kTypeData: {
        auto* x = static_cast<const __CFData*>(a);
        auto* y = static_cast<const __CFData*>(b);
        return x->length == y->length && (x->length == 0 || !memcmp(x->bytes, y->bytes, x->length));
    }
    case kTypeString:
        return static_cast<const __CFString*>(a)->utf8 == static_cast<const __CFString*>(b)->utf8;
    case kTypeUUID:
        return !memcmp(&static_cast<const __CFUUID*>(a)->bytes,
                       &static_cast<const __CFUUID*>(b)->bytes, 16);
    default:
        return false;
    }
}

extern "C" CFHashCode CFHash(CFTypeRef cf) {
    if (!cf)
        return 0;
    if (Obj(cf)->type == kTypeString)
        return std::hash<std::string>()(static_cast<const __CFString*>(cf)->utf8);
    return reinterpret_cast<CFHashCode>(cf);
}

// ---- CFData ----

// Large message buffers are kept for reuse: a fresh multi-megabyte buffer
// costs a page fault per 4 KiB, which dominates a local round trip. At most
// kCachedBuffers buffers of kMinCached..kMaxCached bytes are kept.
namespace {
constexpr size_t kMinCached = 64 * 1024;
constexpr size_t kMaxCached = 8 * 1024 * 1024;
constexpr size_t kCachedBuffers = 4;
std::mutex g_cacheMutex;
std::pair<UInt8*, size_t> g_cache[kCachedBuffers];

UInt8* TakeCached(size_t length, size_t& capacity) {
    if (length < kMinCached || length > kMaxCached)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    for (auto& entry : g_cache) {
        if (entry.first && entry.second >= length && entry.second <= 2 * length) {
            UInt8* bytes = entry.first;
            capacity = entry.second;
            entry = {nullptr, 0};
            return bytes;
        }
    }
    return nullptr;
}

bool GiveCached(UInt8* bytes, size_t capacity) {
    if (capacity < kMinCached || capacity > kMaxCached)
        return false;
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    for (auto& entry : g_cache) {
        if (!entry.first) {
            entry = {bytes, capacity};
            return true;
        }
    }
    return false;
}
} // namespace

__CFData::~__CFData() {
    if (ownsBytes && !(capacity > 0 && GiveCached(bytes, capacity)))
        free(bytes);
}

extern "C" CFTypeID CFDataGetTypeID(void) {
    return kTypeData;
}

extern "C" CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (length < 0 || (length > 0 && !bytes))
        return nullptr;
    __CFData* data = CFDataCreateUninitialized(length);
    if (data && length > 0)
        memcpy(data->bytes, bytes, length);
    return data;
}

__CFData* CFDataCreateUninitialized(CFIndex length) {
    if (length < 0)
        return nullptr;
    auto* data = new __CFData;
    data->bytes = TakeCached(size_t(length), data->capacity);
    if (!data->bytes) {
        data->bytes = static_cast<UInt8*>(malloc(length > 0 ? length : 1));
        data->capacity = length > 0 ? size_t(length) : 1;
    }
    if (!data->bytes) {
        delete data;
        return nullptr;
    }
    data->length = length;
    data->ownsBytes = true;
    return data;
}

extern "C" CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef, const UInt8* bytes, CFIndex length,
                                                 CFAllocatorRef dealloc) {
    if (length < 0 || (length > 0 && !bytes))
        return nullptr;
    auto* data = new __CFData;
    data->bytes = const_cast<UInt8*>(bytes);
    data->length = length;
    data->ownsBytes = dealloc != kCFAllocatorNull;
    return data;
}

extern "C" const UInt8* CFDataGetBytePtr(CFDataRef d) {
    return d ? d->bytes : nullptr;
}
extern "C" CFIndex CFDataGetLength(CFDataRef d) {
    return d ? d->length : 0;
}
extern "C" void CFDataGetBytes(CFDataRef d, CFRange r, UInt8* buffer) {
    if (!d || !buffer || r.location < 0 || r.length < 0 || r.location + r.length > d->length)
        return;
    if (r.length > 0)
        memcpy(buffer, d->bytes + r.location, r.length);
}

// ---- CFString ----

// Mac Roman bytes 0x80-0xFF as Unicode code points.
static const uint16_t kMacRoman[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3,
    0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3,
    0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA,
    0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D,
    0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8, 0x00CD, 0x00CE,
    0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7};

static void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Decodes one UTF-8 sequence at text[i]; false for malformed input.
static bool NextCodePoint(const std::string& text, size_t& i, uint32_t& cp) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    unsigned char c = s[i];
    int extra;
    uint32_t min;
    if (c < 0x80) {
        cp = c, extra = 0, min = 0;
    } else if ((c & 0xE0) == 0xC0) {
        cp = c & 0x1F, extra = 1, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        cp = c & 0x0F, extra = 2, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        cp = c & 0x07, extra = 3, min = 0x10000;
    } else {
        return false;
    }
    if (i + extra >= n)
        return false;
    for (int k = 1; k <= extra; ++k) {
        if ((s[i + k] & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    i += extra + 1;
    return true;
}

static bool ToUtf8(const UInt8* bytes, size_t n, CFStringEncoding enc, std::string& out) {
    out.clear();
    switch (enc) {
    case kCFStringEncodingUTF8: {
        out.assign(reinterpret_cast<const char*>(bytes), n);
        for (size_t i = 0; i < out.size();) {
            uint32_t cp;
            if (!NextCodePoint(out, i, cp))
                return false;
        }
        return true;
    }
    case kCFStringEncodingASCII:
        for (size_t i = 0; i < n; ++i) {
            if (bytes[i] >= 0x80)
                return false;
            out += char(bytes[i]);
        }
        return true;
    case kCFStringEncodingMacRoman:
    case kCFStringEncodingISOLatin1:
    case kCFStringEncodingWindowsLatin1:
        for (size_t i = 0; i < n; ++i) {
            uint32_t cp = bytes[i];
            if (cp >= 0x80 && enc == kCFStringEncodingMacRoman)
                cp = kMacRoman[cp - 0x80];
            AppendUtf8(out, cp);
        }
        return true;
    default:
        return false;
    }
}

static bool FromUtf8(const std::string& text, CFStringEncoding enc, std::string& out) {
    if (enc == kCFStringEncodingUTF8) {
        out = text;
        return true;
    }
    out.clear();
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        if (!NextCodePoint(text, i, cp))
            return false;
        if (cp < 0x80) {
            out += char(cp);
            continue;
        }
        if (enc == kCFStringEncodingASCII)
            return false;
        if (enc == kCFStringEncodingISOLatin1 || enc == kCFStringEncodingWindowsLatin1) {
            if (cp > 0xFF)
                return false;
            out += char(cp);
            continue;
        }
        if (enc != kCFStringEncodingMacRoman)
            return false;
        int found = -1;
        for (int k = 0; k < 128; ++k) {
            if (kMacRoman[k] == cp) {
                found = k;
                break;
            }
        }
        if (found < 0)
            return false;
        out += char(0x80 + found);
    }
    return true;
}

static CFIndex Utf16Length(const std::string& text) {
    CFIndex length = 0;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        if (!NextCodePoint(text, i, cp))
            break;
        length += cp >= 0x10000 ? 2 : 1;
    }
    return length;
}

static __CFString* MakeString(std::string&& utf8) {
    auto* s = new __CFString;
    s->length = Utf16Length(utf8);
    s->utf8 = std::move(utf8);
    return s;
}

extern "C" CFTypeID CFStringGetTypeID(void) {
    return kTypeString;
}

extern "C" CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr,
                                                 CFStringEncoding enc) {
    if (!cStr)
        return nullptr;
    std::string utf8;
    if (!ToUtf8(reinterpret_cast<const UInt8*>(cStr), strlen(cStr), enc, utf8))
        return nullptr;
    return MakeString(std::move(utf8));
}

extern "C" CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex n,
                                               CFStringEncoding enc, Boolean) {
    if (n < 0 || (n > 0 && !bytes))
        return nullptr;
    std::string utf8;
    if (!ToUtf8(bytes, size_t(n), enc, utf8))
        return nullptr;
    return MakeString(std::move(utf8));
}

extern "C" Boolean CFStringGetCString(CFStringRef s, char* buffer, CFIndex size,
                                      CFStringEncoding enc) {
    if (!s || !buffer || size <= 0)
        return false;
    std::string out;
    if (!FromUtf8(s->utf8, enc, out) || CFIndex(out.size()) + 1 > size)
        return false;
    memcpy(buffer, out.c_str(), out.size() + 1);
    return true;
}

extern "C" const char* CFStringGetCStringPtr(CFStringRef s, CFStringEncoding enc) {
    if (!s)
        return nullptr;
    if (enc == kCFStringEncodingUTF8)
        return s->utf8.c_str();
    for (char c : s->utf8) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return nullptr;
    }
    return s->utf8.c_str();
}

extern "C" CFIndex CFStringGetLength(CFStringRef s) {
    return s ? s->length : 0;
}

extern "C" CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding enc) {
    return enc == kCFStringEncodingUTF8 ? length * 3 : length;
}

extern "C" CFStringRef __CFStringMakeConstantString(const char* cStr) {
    static std::mutex mutex;
    static auto* table = new std::unordered_map<std::string, __CFString*>;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = table->find(cStr);
    if (found != table->end())
        return found->second;
    std::string utf8;
    if (!ToUtf8(reinterpret_cast<const UInt8*>(cStr), strlen(cStr), kCFStringEncodingUTF8, utf8))
        ToUtf8(reinterpret_cast<const UInt8*>(cStr), strlen(cStr), kCFStringEncodingMacRoman, utf8);
    __CFString* s = MakeString(std::move(utf8));
    s->immortal = true;
    (*table)[cStr] = s;
    return s;
}

extern "C" const CFRunLoopMode kCFRunLoopDefaultMode =
    __CFStringMakeConstantString("kCFRunLoopDefaultMode");
extern "C" const CFRunLoopMode kCFRunLoopCommonModes =
    __CFStringMakeConstantString("kCFRunLoopCommonModes");

// ---- CFUUID ----

extern "C" CFTypeID CFUUIDGetTypeID(void) {
    return kTypeUUID;
}

extern "C" CFUUIDRef CFUUIDCreate(CFAllocatorRef) {
    UInt8 b[16];
    size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = getrandom(b + got, sizeof b - got, 0);
        if (n <= 0)
            return nullptr;
        got += size_t(n);
    }
    b[6] = UInt8((b[6] & 0x0F) | 0x40); // version 4
    b[8] = UInt8((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    auto* u = new __CFUUID;
    memcpy(&u->bytes, b, 16);
    return u;
}

extern "C" CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    auto* u = new __CFUUID;
    u->bytes = bytes;
    return u;
}

extern "C" CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    return uuid ? uuid->bytes : CFUUIDBytes();
}

extern "C" CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
    if (!uuid)
        return nullptr;
    const auto* b = reinterpret_cast<const UInt8*>(&uuid->bytes);
    static const char* hex = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += hex[b[i] >> 4];
        text += hex[b[i] & 15];
    }
    return MakeString(std::move(text));
}
