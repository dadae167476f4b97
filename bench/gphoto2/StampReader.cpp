// cvl-bench-stamps: reads a stream of JPEG images one after another on
// standard input (what "gphoto2 --capture-movie --stdout" writes) and, for
// every image carrying the camera's stamp, takes the latency from the stamp
// to the moment the image was read whole. Ends with one line of JSON:
//   {"frames": N, "fps": F, "p50": ms, "p95": ms, "p99": ms}
// fps counts the frames from the first to the last one read.
#include "cvlhost/FrameStamp.h"
#include "cvlhost/FrameStats.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

int main() {
    std::vector<uint8_t> pending;
    std::vector<double> latencies;
    int64_t first = 0, last = 0;
    uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = read(0, buffer, sizeof buffer);
        if (n <= 0)
            break;
        pending.insert(pending.end(), buffer, buffer + n);
        const int64_t now = NowNs();
        // Every image ends at its EOI marker (gphoto2 cuts the preview there).
        size_t start = 0;
        for (size_t i = 1; i < pending.size(); ++i) {
            if (pending[i - 1] != 0xFF || pending[i] != 0xD9)
                continue;
            cvl::host::FrameStamp stamp;
            if (cvl::host::ReadFrameStamp(pending.data() + start, i + 1 - start, stamp)) {
                latencies.push_back(static_cast<double>(now - stamp.monotonicNs) / 1e6);
                if (first == 0)
                    first = now;
                last = now;
            }
            start = i + 1;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(start));
    }
    const double seconds = static_cast<double>(last - first) / 1e9;
    const double fps = latencies.size() > 1 && seconds > 0 ? (latencies.size() - 1) / seconds : 0;
    std::printf("{\"frames\": %zu, \"fps\": %.2f, \"p50\": %.3f, \"p95\": %.3f, \"p99\": %.3f}\n",
                latencies.size(), fps, cvl::host::FrameStats::Percentile(latencies, 50),
                cvl::host::FrameStats::Percentile(latencies, 95),
                cvl::host::FrameStats::Percentile(latencies, 99));
    return 0;
}
