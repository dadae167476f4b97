// Live view downloaded through the SDK on a thread of its own, as fast as it
// comes, until the loop is destroyed: the SDK-level tests and benchmarks of
// the libgphoto2 build watch the frames while they change settings.
#ifndef CVL_TESTS_ZELSDK_GPHOTO2_EVFDOWNLOADLOOP_H
#define CVL_TESTS_ZELSDK_GPHOTO2_EVFDOWNLOADLOOP_H

#include <ZelSDK/ZelSDK.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace cvl::test {

class EvfDownloadLoop {
public:
    // Called on the loop's thread after each download: the frame's bytes
    // when error is ZEL_ERR_OK, else null. After a failure the loop waits a
    // moment before the next try.
    using Handler = std::function<void(ZelError error, const uint8_t* bytes, uint64_t length)>;

    EvfDownloadLoop(__ZelObject* camera, Handler handler);
    // Stops and joins the thread.
    ~EvfDownloadLoop();
    EvfDownloadLoop(const EvfDownloadLoop&) = delete;
    EvfDownloadLoop& operator=(const EvfDownloadLoop&) = delete;

private:
    void Run();

    __ZelObject* m_camera;
    Handler m_handler;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace cvl::test

#endif
