#include "EvfFrame.h"

#include "CVLPaths.h"

#include <cstdio>
#include <cstring>
#include <limits>

EvfFrame::~EvfFrame() {
    Cleanup();
}

void EvfFrame::LoadFrame(const unsigned char* source, int32_t length) {
    Cleanup();
    if (length < 0)
        length = 0;
    m_pBuffer = new unsigned char[static_cast<size_t>(length)];
    if (length > 0)
        std::memcpy(m_pBuffer, source, static_cast<size_t>(length));
    m_bufferSize = length;
}

void EvfFrame::LoadDuplicate(const EvfFrame& other) {
    if (&other == this)
        return;
    LoadFrame(other.m_pBuffer, other.m_bufferSize);
}

void EvfFrame::Cleanup() {
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
    m_bufferSize = 0;
}

void EvfFrame::LoadFrameFromFile(std::string path) {
    Cleanup();
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return;

    // A file whose length cannot be measured, or that is too long for a
    // frame, leaves the frame empty rather than holding a guessed length.
    long length = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
        length = std::ftell(file);
    if (length < 0 || length > std::numeric_limits<int32_t>::max() ||
        std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        return;
    }

    m_pBuffer = new unsigned char[static_cast<size_t>(length)];
    m_bufferSize = static_cast<int32_t>(length);
    const size_t count = std::fread(m_pBuffer, 1, static_cast<size_t>(length), file);
    // The file may shrink between measuring and reading; the tail that was not
    // read is zeroed so the frame never carries uninitialised bytes.
    if (count < static_cast<size_t>(length))
        std::memset(m_pBuffer + count, 0, static_cast<size_t>(length) - count);
    std::fclose(file);
}

void EvfFrame::LoadErrorFrame() {
    LoadFrameFromFile(CVLResolvePath(CVL_PATH_ERROR_FRAME));
}

void EvfFrame::LoadBusyFrame() {
    LoadFrameFromFile(CVLResolvePath(CVL_PATH_BUSY_FRAME));
}

void EvfFrame::LoadDisconnectedFrame() {
    LoadFrameFromFile(CVLResolvePath(CVL_PATH_NO_DEVICE_FRAME));
}
