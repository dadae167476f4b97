// The backend library's side of the helper process (zelsdk-gphoto2-helper):
// starts it beside the library, sends it one request at a time over a socket
// pair and reads the answer within a deadline. A helper that ends, stalls
// past the deadline or answers out of bounds is ended (by its process id) and
// a new one is started with the next request; every session of the old one is
// gone, which the cameras learn from Generation().
#ifndef ZELSDK_GPHOTO2_HELPERLINK_H
#define ZELSDK_GPHOTO2_HELPERLINK_H

#include "Wire.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zelgp {

class HelperLink {
public:
    HelperLink() = default;
    ~HelperLink();
    HelperLink(const HelperLink&) = delete;
    HelperLink& operator=(const HelperLink&) = delete;

    struct Answer {
        uint32_t error = 0;
        uint8_t flags = 0;
        std::vector<uint8_t> body; // what follows the error and flags
        // The helper that answered: sessions opened in an older one are gone.
        uint64_t generation = 0;
    };

    // Starts a helper unless one runs: it loads libgphoto2's camera drivers
    // while the caller goes on, so that the first request does not wait for
    // them.
    void Start();
    // false when no helper could be started or it did not answer in time.
    bool Call(const WireWriter& request, Answer& answer);
    // The helper that serves now (0: none yet).
    uint64_t Generation();
    // Ends the helper: the socket closes, it ends by itself, or is killed
    // after a few seconds.
    void Stop();

    // The helper program beside this library.
    static std::string HelperPath();

private:
    bool StartLocked();
    void EndLocked(bool force);
    void ReportLocked(const char* what);

    std::mutex m_mutex;
    pid_t m_pid = -1;
    int m_fd = -1;
    uint64_t m_generation = 0;
    // Failures are reported one line a burst.
    std::chrono::steady_clock::time_point m_lastReport{};
    bool m_reported = false;
};

} // namespace zelgp

#endif
