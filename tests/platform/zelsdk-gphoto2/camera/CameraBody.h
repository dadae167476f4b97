// What the test camera's body does by itself in a long session, apart from
// its link: live view that ends after the body's time limit, a body that
// answers "Device Busy" while it focuses or writes, and a body switched off
// and on, which comes back without the session it had.
//
// Live view starts with every session (a body in remote mode shows it to the
// host); with a limit set it ends that many seconds after each start, and
// live-view requests are then answered "Capture Already Terminated" until a
// new session starts it again.
#ifndef CVL_TESTS_ZELSDK_GPHOTO2_CAMERABODY_H
#define CVL_TESTS_ZELSDK_GPHOTO2_CAMERABODY_H

#include <cstdint>
#include <mutex>

namespace cvl::test {

class CameraBody {
public:
    // Operations and answers of the body's behaviours.
    static constexpr uint16_t kDeviceBusy = 0x2019, kCaptureAlreadyTerminated = 0x2018;

    // From now on live view ends seconds after each start (0: never).
    void SetLiveViewLimit(int seconds);
    // Live-view and property requests get "Device Busy" for seconds.
    void Busy(int seconds);
    // The body was switched off: live view and its session are gone.
    void SwitchedOff();
    // A host opened a session: the session's number in this body's life.
    uint32_t SessionOpened();
    // The answer the body gives to this operation instead of serving it, or
    // 0 to serve it. liveViewObject: the request reads the live-view object.
    uint16_t Refusal(uint16_t operation, bool liveViewObject);

    // How many times live view ended by itself, and sessions opened so far.
    uint64_t LiveViewEnds();
    uint32_t Sessions();

private:
    bool LiveViewOn(uint64_t now);

    std::mutex m_mutex;
    uint64_t m_limitNs = 0;
    uint64_t m_busyUntilNs = 0;
    bool m_liveView = false;
    uint64_t m_liveViewStartNs = 0;
    uint64_t m_ends = 0;
    uint32_t m_sessions = 0;
};

} // namespace cvl::test

#endif
