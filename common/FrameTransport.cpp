#include "FrameTransport.h"

#include "CVLPaths.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void PutInt32(unsigned char* out, int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    out[0] = static_cast<unsigned char>(bits);
    out[1] = static_cast<unsigned char>(bits >> 8);
    out[2] = static_cast<unsigned char>(bits >> 16);
    out[3] = static_cast<unsigned char>(bits >> 24);
}

int32_t GetInt32(const unsigned char* in) {
    const uint32_t bits = static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
                          (static_cast<uint32_t>(in[2]) << 16) |
                          (static_cast<uint32_t>(in[3]) << 24);
    return static_cast<int32_t>(bits);
}

} // namespace

std::string FramePortName(const std::string& senderId) {
    return CVL_FRAME_PORT_PREFIX + senderId;
}

CFStringRef CreateFramePortName(const std::string& senderId) {
    return CFStringCreateWithCString(kCFAllocatorDefault, FramePortName(senderId).c_str(),
                                     kCFStringEncodingMacRoman);
}

std::vector<unsigned char> BuildFrameMessage(const unsigned char* bytes, int32_t length) {
    if (length < 0)
        length = 0;
    std::vector<unsigned char> payload(kFrameLengthWordSize + static_cast<size_t>(length));
    PutInt32(payload.data(), length);
    if (length > 0)
        std::memcpy(payload.data() + kFrameLengthWordSize, bytes, static_cast<size_t>(length));
    return payload;
}

bool ParseFrameMessage(const unsigned char* payload, size_t size, const unsigned char** frame,
                       int32_t* length) {
    if (!payload || size < kFrameLengthWordSize)
        return false;
    const int32_t claimed = GetInt32(payload);
    if (claimed < 0 || static_cast<size_t>(claimed) > size - kFrameLengthWordSize)
        return false;
    *frame = payload + kFrameLengthWordSize;
    *length = claimed;
    return true;
}

bool ParseFrameMessage(CFDataRef payload, const unsigned char** frame, int32_t* length) {
    if (!payload)
        return false;
    const CFIndex size = CFDataGetLength(payload);
    if (size < 0)
        return false;
    return ParseFrameMessage(CFDataGetBytePtr(payload), static_cast<size_t>(size), frame, length);
}

bool SendFrameMessage(CFMessagePortRef remotePort, const unsigned char* bytes, int32_t length) {
    if (!remotePort)
        return false;
    const std::vector<unsigned char> payload = BuildFrameMessage(bytes, length);
    CFDataRef data =
        CFDataCreate(kCFAllocatorDefault, payload.data(), static_cast<CFIndex>(payload.size()));
    if (!data)
        return false;
    CFDataRef reply = nullptr;
    const SInt32 status =
        CFMessagePortSendRequest(remotePort, 0, data, kFrameSendTimeout, kFrameReceiveTimeout,
                                 kCFRunLoopDefaultMode, &reply);
    CFRelease(data);
    if (reply)
        CFRelease(reply);
    return status == kCFMessagePortSuccess;
}

std::string SandboxFramePath(int slot) {
    return std::string(CVLResolvePath(CVL_PATH_SANDBOX_FRAMES)) + "/sbFrame" + std::to_string(slot);
}

std::vector<unsigned char> BuildSandboxRecord(const unsigned char marker[kSandboxMarkerSize],
                                              int32_t frameNumber, const unsigned char* bytes,
                                              int32_t length) {
    if (length < 0)
        length = 0;
    const size_t frameSize = static_cast<size_t>(length);
    std::vector<unsigned char> record(kSandboxOverhead + frameSize);
    std::memcpy(record.data(), marker, kSandboxMarkerSize);
    PutInt32(record.data() + kSandboxNumberOffset, frameNumber);
    if (frameSize > 0)
        std::memcpy(record.data() + kSandboxFrameOffset, bytes, frameSize);
    std::memcpy(record.data() + kSandboxFrameOffset + frameSize, marker, kSandboxMarkerSize);
    return record;
}

bool WriteSandboxFrameFile(int slot, int32_t frameNumber, const unsigned char* bytes,
                           int32_t length) {
    unsigned char marker[kSandboxMarkerSize];
    // Without a fresh marker a reader could not tell this record from a torn
    // one: the write fails and the slot keeps its file.
    CFUUIDRef uuid = CFUUIDCreate(kCFAllocatorDefault);
    if (!uuid)
        return false;
    const CFUUIDBytes uuidBytes = CFUUIDGetUUIDBytes(uuid);
    static_assert(sizeof uuidBytes == kSandboxMarkerSize, "a UUID is 16 bytes");
    std::memcpy(marker, &uuidBytes, kSandboxMarkerSize);
    CFRelease(uuid);

    const std::vector<unsigned char> record =
        BuildSandboxRecord(marker, frameNumber, bytes, length);

    // Rewritten in place, never replaced by a renamed file: readers keep each
    // slot's file open between reads and would not see a replacement. Only a
    // plain file of this user's is written, never through a symbolic link,
    // and it is readable by this user alone.
    const int file =
        open(SandboxFramePath(slot).c_str(),
             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (file < 0)
        return false;
    struct stat st;
    if (fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(file);
        return false;
    }
    if ((st.st_mode & 077) != 0)
        fchmod(file, S_IRUSR | S_IWUSR);
    size_t done = 0;
    while (done < record.size()) {
        const ssize_t written = write(file, record.data() + done, record.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        done += static_cast<size_t>(written);
    }
    close(file);
    return true;
}

bool AcceptSandboxRecord(const unsigned char* data, size_t size, int32_t lastFrameNumber,
                         int32_t* frameNumber, const unsigned char** frame, int32_t* length) {
    if (!data || size < static_cast<size_t>(kSandboxMinimumFileSize) ||
        size - kSandboxOverhead > static_cast<size_t>(INT32_MAX))
        return false;
    if (std::memcmp(data, data + size - kSandboxMarkerSize, kSandboxMarkerSize) != 0)
        return false;
    const int32_t number = GetInt32(data + kSandboxNumberOffset);
    if (number <= lastFrameNumber)
        return false;
    *frameNumber = number;
    *frame = data + kSandboxFrameOffset;
    *length = static_cast<int32_t>(size - kSandboxOverhead);
    return true;
}

namespace {

// Reads the whole file behind handle from its start. False when its length
// cannot be determined or it could not be read whole (it shrank meanwhile).
bool ReadWholeFile(FILE* file, std::vector<unsigned char>& content) {
    if (std::fseek(file, 0, SEEK_END) != 0)
        return false;
    const long length = std::ftell(file);
    if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0)
        return false;
    if (static_cast<unsigned long>(length) >
        static_cast<unsigned long>(INT32_MAX) + kSandboxOverhead)
        return false;
    content.resize(static_cast<size_t>(length));
    if (length == 0)
        return true;
    return std::fread(content.data(), 1, content.size(), file) == content.size();
}

} // namespace

SandboxReadResult ReadSandboxFrame(FILE* files[kSandboxSlotCount], int32_t& lastFrameNumber,
                                   int32_t& slot, std::vector<unsigned char>& frame) {
    if (slot < 0 || slot >= kSandboxSlotCount)
        slot = 0;
    std::vector<unsigned char> content;
    for (int attempt = 0; attempt < kSandboxReadAttempts; ++attempt) {
        if (attempt > 0)
            usleep(kSandboxRetryMicroseconds);
        if (!files[slot]) {
            files[slot] = std::fopen(SandboxFramePath(slot).c_str(), "rb");
            if (!files[slot])
                return SandboxReadResult::Missing;
        }
        if (!ReadWholeFile(files[slot], content)) {
            // Forget the end-of-file or error state so the next attempt reads
            // afresh.
            std::clearerr(files[slot]);
            continue;
        }
        int32_t number = 0;
        const unsigned char* bytes = nullptr;
        int32_t length = 0;
        if (!AcceptSandboxRecord(content.data(), content.size(), lastFrameNumber, &number, &bytes,
                                 &length))
            continue;
        lastFrameNumber = number;
        frame.assign(bytes, bytes + length);
        slot = (slot + 1) % kSandboxSlotCount;
        return SandboxReadResult::Frame;
    }
    ResetSandboxReading(files, lastFrameNumber, slot);
    return SandboxReadResult::TimedOut;
}

void ResetSandboxReading(FILE* files[kSandboxSlotCount], int32_t& lastFrameNumber, int32_t& slot) {
    for (int i = 0; i < kSandboxSlotCount; ++i) {
        if (files[i]) {
            std::fclose(files[i]);
            files[i] = nullptr;
        }
    }
    lastFrameNumber = -1;
    slot = 0;
}
