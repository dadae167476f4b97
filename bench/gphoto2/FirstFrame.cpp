// cvl-bench-first-frame: how long a client waits for its first live frame.
// It starts a stream (CVLClient::StartStreaming), calls GetFrame every 2 ms
// until a live frame comes, takes the time from the request to that frame,
// stops the stream and waits until the service's log shows the session
// closed; then the next start. The first start of a freshly started service
// is the one that may wait for the camera SDK's own start.
//
// Usage: cvl-bench-first-frame LOG [STARTS] [PAUSE_MS]
//   LOG       the service's log file (the session's end is read from it)
//   STARTS    streams to start one after another (default 8)
//   PAUSE_MS  pause after a session closed, before the next start (default 500)
// Prints one line a start and ends with one line of JSON:
//   {"first_ms": F, "later_ms": [..], "later_median_ms": M, "later_max_ms": X}
// A start without a live frame in 30 s is reported as -1 and ends the run
// with status 1.
#include "CVLClient.h"
#include "EvfFrame.h"
#include "cvlhost/StockFrames.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int CountLines(const std::string& path, const std::string& text) {
    std::ifstream in(path);
    std::string line;
    int count = 0;
    while (std::getline(in, line))
        if (line.find(text) != std::string::npos)
            ++count;
    return count;
}

bool WaitForCount(const std::string& path, const std::string& text, int count,
                  std::chrono::seconds bound) {
    const auto end = Clock::now() + bound;
    while (Clock::now() < end) {
        if (CountLines(path, text) >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Milliseconds from StartStreaming to the first live frame, or -1.
double FirstLiveFrame(CVLClient& client, const cvl::host::StockFrames& stock) {
    const auto asked = Clock::now();
    client.StartStreaming();
    const auto end = asked + std::chrono::seconds(30);
    while (Clock::now() < end) {
        std::unique_ptr<EvfFrame> frame(client.GetFrame());
        if (stock.Kind(*frame) == cvl::host::FrameKind::Live)
            return std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: cvl-bench-first-frame LOG [STARTS] [PAUSE_MS]\n");
        return 2;
    }
    const std::string log = argv[1];
    const int starts = argc > 2 ? std::atoi(argv[2]) : 8;
    const int pauseMs = argc > 3 ? std::atoi(argv[3]) : 500;
    if (starts < 1 || pauseMs < 0) {
        std::fprintf(stderr, "cvl-bench-first-frame: STARTS at least 1, PAUSE_MS not negative\n");
        return 2;
    }
    const cvl::host::StockFrames stock;
    const std::string closed = "CloseSessionCommand: session closed";
    std::vector<double> times;
    int status = 0;
    for (int start = 1; start <= starts; ++start) {
        const int closedBefore = CountLines(log, closed);
        CVLClient client;
        const double ms = FirstLiveFrame(client, stock);
        times.push_back(ms);
        std::printf("start %d: first live frame after %.0f ms\n", start, ms);
        std::fflush(stdout);
        client.StopStreaming();
        if (ms < 0 || !WaitForCount(log, closed, closedBefore + 1, std::chrono::seconds(20))) {
            std::fprintf(stderr, "cvl-bench-first-frame: start %d %s\n", start,
                         ms < 0 ? "got no live frame in 30 s" : ": the session did not close");
            status = 1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    std::vector<double> later(times.begin() + 1, times.end());
    std::printf("{\"first_ms\": %.0f, \"later_ms\": [", times.front());
    for (size_t i = 0; i < later.size(); ++i)
        std::printf("%s%.0f", i ? ", " : "", later[i]);
    std::printf("]");
    if (!later.empty()) {
        std::sort(later.begin(), later.end());
        std::printf(", \"later_median_ms\": %.0f, \"later_max_ms\": %.0f", later[later.size() / 2],
                    later.back());
    }
    std::printf("}\n");
    return status;
}
