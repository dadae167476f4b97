// A small PTP/IP camera on 127.0.0.1 for the tests of the gphoto2 backend.
// It answers the PTP/IP handshake (command and event connections) and the
// few operations libgphoto2's PTP driver sends to a camera of the vendor
// whose live view is one object read again and again (GetObjectInfo and
// GetObject on the live-view handle): OpenSession, GetDeviceInfo,
// GetStorageIDs, CloseSession, and the property calls of DeviceProperties;
// everything else is "operation not supported".
//
// Live view runs at the camera's own pace: a frame every 1/fps seconds; a
// GetObject waits for the next frame not yet served and sends it stamped
// "zelsim seq=<n> t=<ns>" with the CLOCK_MONOTONIC time the frame was made.
// One host at a time holds the session: another gets "device busy" on
// OpenSession. Away() drops every connection and stops listening; Back()
// listens on the same port again.
//
// Inject() makes it misbehave for a while, then work again: a camera whose
// link fails in the middle, and one that fails every initialisation.
//
// With NumberFrames() the camera plays a loop of pictures that carry their
// number in the pixels and logs the time it sends each frame, so that a
// receiver of decoded pictures can measure.
#ifndef CVL_TESTS_ZELSDK_GPHOTO2_PTPIPCAMERA_H
#define CVL_TESTS_ZELSDK_GPHOTO2_PTPIPCAMERA_H

#include "DeviceProperties.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zelsdk {
class FrameSource;
}

namespace cvl::test {

class PtpIpCamera {
public:
    enum class Fault {
        None,
        Drop,        // a live-view frame is cut off half way and the connection closed
        Truncate,    // a live-view frame is shorter than its packet says
        Stall,       // answers are held back until the fault ends
        DeviceInfo,  // GetDeviceInfo answers garbage
        ShortAck,    // the init acknowledgement stops after the connection number
        Transaction, // answers carry other transaction ids
        Oversized,   // live-view frames of 24 MiB
    };
    // A fault's name on the command line, or false.
    static bool FaultNamed(const std::string& name, Fault& fault);

    PtpIpCamera(int fps, int width, int height);
    ~PtpIpCamera();
    PtpIpCamera(const PtpIpCamera&) = delete;
    PtpIpCamera& operator=(const PtpIpCamera&) = delete;

    // Listens on port (0: any free one); false when it cannot.
    bool Listen(int port);
    int Port() const { return m_port; }
    void Away();
    bool Back();
    uint64_t FramesServed();
    bool SessionHeld();
    // The fault from now on for seconds, then none.
    void Inject(Fault fault, int seconds);
    // Before Listen: from then on frame n (from 1) shows the number
    // n % kFrameNumbers (FrameNumber.h) in a picture of width x height, and
    // sending it appends the line "<n> <CLOCK_MONOTONIC ns>" to sendLog; the
    // frame's stamp then holds that send time, not the time it was made.
    // False when the log cannot be written.
    bool NumberFrames(int width, int height, const std::string& sendLog);
    // Its settings (DeviceProperties.h).
    DeviceProperties& Properties() { return m_properties; }

private:
    Fault Current();
    // Holds an answer back while a stall lasts (or the camera closes).
    void StallWhileFaulty();
    bool SendFrame(int fd, uint32_t transaction, const std::vector<uint8_t>& frame, Fault fault);
    using Bytes = std::vector<uint8_t>;
    void Accept(int listener);
    void Serve(int fd);
    bool Operation(int fd, uint32_t connection, const uint8_t* body, uint32_t length);
    bool ReadHostData(int fd, Bytes& data);
    Bytes NextFrame();
    Bytes DeviceInfo();
    static Bytes ObjectInfo(uint32_t size);
    void Forget(int fd, uint32_t connection);

    const int m_fps;
    zelsdk::FrameSource* m_frames;
    int m_port = 0;
    std::mutex m_mutex;
    int m_listener = -1;
    std::set<int> m_open;
    uint32_t m_nextConnection = 1;
    uint32_t m_sessionHolder = 0; // connection number, 0 for none
    uint64_t m_startNs = 0;
    int64_t m_lastTick = -1;
    uint64_t m_sequence = 0;
    Fault m_fault = Fault::None;
    uint64_t m_faultUntilNs = 0;
    bool m_closing = false;
    std::condition_variable m_faultChanged;
    std::mutex m_frameMutex;
    std::vector<std::shared_ptr<const Bytes>> m_numbered;
    std::FILE* m_sendLog = nullptr;
    DeviceProperties m_properties;
    std::vector<std::thread> m_threads;
};

} // namespace cvl::test

#endif
