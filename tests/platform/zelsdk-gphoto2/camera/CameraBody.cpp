#include "CameraBody.h"

#include <time.h>

namespace cvl::test {

namespace {

constexpr uint64_t kSecondNs = 1000000000ull;

uint64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * kSecondNs + static_cast<uint64_t>(ts.tv_nsec);
}

// Requests that read or change a device property.
bool PropertyRequest(uint16_t operation) {
    return operation >= 0x1014 && operation <= 0x1017;
}

} // namespace

void CameraBody::SetLiveViewLimit(int seconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limitNs = seconds > 0 ? static_cast<uint64_t>(seconds) * kSecondNs : 0;
    // The limit counts from now for a live view that runs already.
    if (m_liveView)
        m_liveViewStartNs = NowNs();
}

void CameraBody::Busy(int seconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_busyUntilNs = NowNs() + static_cast<uint64_t>(seconds > 0 ? seconds : 0) * kSecondNs;
}

void CameraBody::SwitchedOff() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_liveView = false;
    m_busyUntilNs = 0;
}

uint32_t CameraBody::SessionOpened() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_liveView = true;
    m_liveViewStartNs = NowNs();
    return ++m_sessions;
}

bool CameraBody::LiveViewOn(uint64_t now) {
    if (m_liveView && m_limitNs != 0 && now - m_liveViewStartNs >= m_limitNs) {
        m_liveView = false;
        ++m_ends;
    }
    return m_liveView;
}

uint16_t CameraBody::Refusal(uint16_t operation, bool liveViewObject) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t now = NowNs();
    if (now < m_busyUntilNs && (liveViewObject || PropertyRequest(operation)))
        return kDeviceBusy;
    if (liveViewObject && !LiveViewOn(now))
        return kCaptureAlreadyTerminated;
    return 0;
}

uint64_t CameraBody::LiveViewEnds() {
    std::lock_guard<std::mutex> lock(m_mutex);
    LiveViewOn(NowNs());
    return m_ends;
}

uint32_t CameraBody::Sessions() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions;
}

} // namespace cvl::test
