// What a client received, frame by frame, while a test watched it: the kind
// of every frame that GetFrame handed out and the sequence numbers of the
// live ones.
#ifndef CVL_TESTS_E2E_FRAMEWATCH_H
#define CVL_TESTS_E2E_FRAMEWATCH_H

#include "ServiceHarness.h"

#include <chrono>
#include <cstdint>
#include <vector>

class CVLClient;

namespace cvl::test {

struct WatchedFrames {
    std::vector<FrameKind> kinds;
    std::vector<uint64_t> liveSequences;

    int Count(FrameKind kind) const;
    // Distinct live frames (consecutive repeats counted once).
    int UniqueLive() const;
    bool SequencesRise() const;
};

// Calls GetFrame every 10 ms for the given time.
WatchedFrames Watch(CVLClient& client, std::chrono::milliseconds duration);
// Calls GetFrame every 10 ms until uniqueLive distinct live frames came or
// timeout passed: how many frames came, not how fast, which a loaded machine
// decides.
WatchedFrames WatchUntil(CVLClient& client, int uniqueLive,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));
// Calls GetFrame every 10 ms until it hands out a frame of that kind.
bool WaitForFrame(CVLClient& client, FrameKind kind,
                  std::chrono::milliseconds timeout = std::chrono::seconds(15));

// Starts the service and streams to the client in port mode until the first
// live frame arrives.
bool StartLiveStream(ServiceProcess& service, CVLClient& client,
                     const ServiceOptions& options = ServiceOptions());

} // namespace cvl::test

#endif
