// The gaps between new live frames that a viewer saw, and the status
// pictures it saw, while a camera misbehaved: for the long-session cases
// (live view that ends by itself, a busy camera, a camera switched off).
#ifndef CVL_TESTS_ZELSDK_GPHOTO2_LIVEGAPS_H
#define CVL_TESTS_ZELSDK_GPHOTO2_LIVEGAPS_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CVLClient;

namespace cvl::test {

// The short forms of the long-session events: live view that ends every few
// seconds, seen end after end, and the bounds on what a viewer sees. The
// targets are 2 s for a live-view end, 1 s after a busy burst and 10 s after
// the camera is back; a loaded machine under the sanitizers gets more.
// Without the backend's recovery a live-view end or a busy burst costs the
// session: a "no camera" picture and the service's reconnect.
constexpr int kLiveViewLimit = 3;
constexpr uint64_t kLiveViewEnds = 3;
constexpr std::chrono::milliseconds kLiveViewGap(6000);
constexpr std::chrono::milliseconds kAfterBusy(4000);
constexpr std::chrono::milliseconds kAfterBack(40000);

// Prints "what: N ms".
void ReportTime(const char* what, std::chrono::milliseconds time);

class LiveGaps {
public:
    using Clock = std::chrono::steady_clock;

    // A live frame with its camera sequence number; only a new number counts.
    void Live(uint64_t sequence, Clock::time_point at);
    void Status(Clock::time_point at);

    // The longest time between two new live frames.
    std::chrono::milliseconds Longest() const;
    // From `from` to the first new live frame at or after it; false when none
    // came.
    bool FirstLiveAfter(Clock::time_point from, std::chrono::milliseconds& after) const;
    // The longest time one live picture stayed the newest picture seen (a
    // frozen picture), up to the last picture seen.
    std::chrono::milliseconds LongestFrozen() const;
    int StatusPictures() const { return m_status; }
    int NewLiveFrames() const { return static_cast<int>(m_live.size()); }

private:
    std::vector<Clock::time_point> m_live;
    void EndLivePicture(Clock::time_point at);

    uint64_t m_lastSequence = 0;
    int m_status = 0;
    bool m_showingLive = false;
    Clock::time_point m_liveSince;
    Clock::duration m_frozen{};
};

// Takes a client's frames every 10 ms on a thread of its own until stopped.
class ClientGapWatch {
public:
    explicit ClientGapWatch(CVLClient& client);
    // Stops the thread.
    ~ClientGapWatch();
    ClientGapWatch(const ClientGapWatch&) = delete;
    ClientGapWatch& operator=(const ClientGapWatch&) = delete;

    // Polls until condition holds on what was seen so far.
    bool WaitFor(const std::function<bool(const LiveGaps&)>& condition,
                 std::chrono::milliseconds timeout);
    // Stops watching; what was seen.
    LiveGaps Stop();
    // A status picture of the "no camera" kind was seen.
    bool SawNoCamera();
    // Polls until a "no camera" picture was seen.
    bool WaitForNoCamera(std::chrono::milliseconds timeout);

private:
    void Run(CVLClient& client);

    std::mutex m_mutex;
    LiveGaps m_gaps;
    int m_noCamera = 0;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace cvl::test

#endif
