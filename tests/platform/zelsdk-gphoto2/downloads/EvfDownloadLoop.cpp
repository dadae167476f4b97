#include "EvfDownloadLoop.h"

#include <chrono>
#include <utility>

namespace cvl::test {

EvfDownloadLoop::EvfDownloadLoop(__ZelObject* camera, Handler handler)
    : m_camera(camera), m_handler(std::move(handler)) {
    m_thread = std::thread([this] { Run(); });
}

EvfDownloadLoop::~EvfDownloadLoop() {
    m_stop = true;
    m_thread.join();
}

void EvfDownloadLoop::Run() {
    __ZelObject* stream = nullptr;
    __ZelObject* image = nullptr;
    ZelCreateMemoryStream(0, &stream);
    ZelCreateEvfImageRef(stream, &image);
    while (!m_stop) {
        ZelError error = ZelDownloadEvfImage(m_camera, image);
        uint8_t* bytes = nullptr;
        uint64_t length = 0;
        if (error == ZEL_ERR_OK && (ZelGetPointer(stream, &bytes) != ZEL_ERR_OK ||
                                    ZelGetLength(stream, &length) != ZEL_ERR_OK || !bytes))
            error = ZEL_ERR_INTERNAL_ERROR;
        m_handler(error, error == ZEL_ERR_OK ? bytes : nullptr, length);
        // A frame not ready yet, or a failure: do not spin on the camera.
        if (error != ZEL_ERR_OK)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ZelRelease(image);
    ZelRelease(stream);
}

} // namespace cvl::test
