// One JPEG image held in memory: a live-view frame copied out of a buffer that
// somebody else owns, or one of the stock status frames of the installation.
// The bytes are opaque; the frame does no parsing, no logging and reports no
// errors: an operation that cannot complete leaves the frame empty.
//
// Built into the service and the client library from this one source.
#ifndef CVL_COMMON_EVFFRAME_H
#define CVL_COMMON_EVFFRAME_H

#include <cstdint>
#include <string>

class EvfFrame {
public:
    EvfFrame() = default;
    ~EvfFrame();

    EvfFrame(const EvfFrame&) = delete;
    EvfFrame& operator=(const EvfFrame&) = delete;

    // Replaces the bytes with a copy of length bytes from source. source may be
    // null only when length is 0; a length of 0 still allocates (zero bytes).
    void LoadFrame(const unsigned char* source, int32_t length);
    // Deep copy of another frame.
    void LoadDuplicate(const EvfFrame& other);

    // Valid until the next load, Cleanup or destruction; null when empty.
    unsigned char* GetBuf() const { return m_pBuffer; }
    int32_t GetBufSize() const { return m_bufferSize; }

    // Releases the bytes; safe on an empty frame and when called twice.
    void Cleanup();

    // Replaces the bytes with the whole content of the file; empty when the
    // file cannot be opened or its length cannot be determined.
    void LoadFrameFromFile(std::string path);
    void LoadErrorFrame();
    void LoadBusyFrame();
    void LoadDisconnectedFrame();

private:
    unsigned char* m_pBuffer = nullptr;
    int32_t m_bufferSize = 0;
};

#endif
