// cvl-bench-gphoto2-settings: camera settings through the libgphoto2 build
// of the SDK against the PTP/IP test camera named in CVL_GPHOTO2_PORT, while
// a thread downloads live view as fast as it comes:
//   - the time from ZelSetPropertyData to the first downloaded frame that
//     shows the change: the live-view size, switched between 640x480 and
//     1024x768, CHANGES times (the frame's size is the change it shows);
//   - a sweep of CHANGES ISO changes: frames downloaded during it and frames
//     the camera made that the download missed (gaps between the times the
//     frames were made, in camera frame periods).
// Prints a table row each and a JSON line.
//
// Usage: cvl-bench-gphoto2-settings [changes] [camera-fps]
#include "EvfDownloadLoop.h"

#include <ZelSDK/ZelSDK.h>
#include <cvlhost/JpegHeader.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Frame {
    Clock::time_point at;
    int width = 0;
    uint64_t madeNs = 0;
};

int JpegWidth(const uint8_t* bytes, uint64_t length) {
    int width = 0, height = 0;
    return cvl::host::ReadJpegSize(bytes, length, width, height) ? width : 0;
}

// The time the camera made the frame, from its stamp "zelsim seq=<n> t=<ns>".
uint64_t MadeNs(const uint8_t* bytes, uint64_t length) {
    const std::string head(reinterpret_cast<const char*>(bytes), std::min<uint64_t>(length, 80));
    const size_t at = head.find(" t=");
    return at == std::string::npos ? 0 : std::strtoull(head.c_str() + at + 3, nullptr, 10);
}

class Downloads {
public:
    explicit Downloads(__ZelObject* camera)
        : m_loop(camera, [this](ZelError error, const uint8_t* bytes, uint64_t length) {
              if (error != ZEL_ERR_OK)
                  return;
              Frame frame{Clock::now(), JpegWidth(bytes, length), MadeNs(bytes, length)};
              std::lock_guard<std::mutex> lock(m_mutex);
              m_frames.push_back(frame);
          }) {}
    std::vector<Frame> Since(Clock::time_point start) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Frame> found;
        for (const Frame& frame : m_frames)
            if (frame.at >= start)
                found.push_back(frame);
        return found;
    }

private:
    std::mutex m_mutex;
    std::vector<Frame> m_frames;
    // Last, so that it stops before the frames go.
    cvl::test::EvfDownloadLoop m_loop;
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const int changes = argc > 1 ? std::atoi(argv[1]) : 50;
    const int fps = argc > 2 ? std::atoi(argv[2]) : 30;
    __ZelObject* list = nullptr;
    __ZelObject* camera = nullptr;
    const uint32_t host = ZEL_EVF_OUTPUT_HOST;
    if (changes < 2 || fps < 1 || ZelInitializeSDK() != ZEL_ERR_OK ||
        ZelGetCameraList(&list) != ZEL_ERR_OK ||
        ZelGetChildAtIndex(list, 0, &camera) != ZEL_ERR_OK ||
        ZelOpenSession(camera) != ZEL_ERR_OK ||
        ZelSetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &host) != ZEL_ERR_OK) {
        std::fprintf(stderr, "cvl-bench-gphoto2-settings: no camera (CVL_GPHOTO2_PORT)\n");
        return 1;
    }
    ZelRelease(list);
    std::vector<double> latencies;
    int missed = 0;
    {
        Downloads downloads(camera);
        const uint32_t sizes[] = {ZEL_SIZE(1024, 768), ZEL_SIZE(640, 480)};
        // Two changes first: the camera encodes each size's pictures once.
        for (int i = -2; i < changes; ++i) {
            const uint32_t size = sizes[(i + 2) % 2];
            const int width = static_cast<int>(ZEL_SIZE_WIDTH(size));
            const Clock::time_point start = Clock::now();
            if (ZelSetPropertyData(camera, ZEL_PROP_EVF_SIZE, 0, 4, &size) != ZEL_ERR_OK) {
                std::fprintf(stderr, "cvl-bench-gphoto2-settings: set failed\n");
                return 1;
            }
            Clock::time_point shown{};
            for (int wait = 0; wait < 10000 && shown == Clock::time_point{}; ++wait) {
                for (const Frame& frame : downloads.Since(start))
                    if (frame.width == width) {
                        shown = frame.at;
                        break;
                    }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (shown == Clock::time_point{}) {
                ++missed;
            } else if (i >= 0) {
                latencies.push_back(Ms(shown - start));
            }
        }
    }
    // The sweep: ISO changes one after the other while frames come.
    const uint32_t isos[] = {200, 800};
    std::vector<Frame> swept;
    double sweepMs = 0;
    {
        Downloads downloads(camera);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < changes; ++i)
            ZelSetPropertyData(camera, ZEL_PROP_ISO, 0, 4, &isos[i % 2]);
        sweepMs = Ms(Clock::now() - start);
        swept = downloads.Since(start);
    }
    uint64_t lost = 0;
    const double period = 1e9 / fps;
    for (size_t i = 1; i < swept.size(); ++i) {
        const double periods = static_cast<double>(swept[i].madeNs - swept[i - 1].madeNs) / period;
        if (periods > 1.5)
            lost += static_cast<uint64_t>(periods + 0.5) - 1;
    }
    ZelCloseSession(camera);
    ZelRelease(camera);
    ZelTerminateSDK();

    std::printf("| set to first frame with the new live-view size, ms | p50 %.1f | p95 %.1f | "
                "max %.1f | %zu changes, %d never shown |\n",
                Percentile(latencies, 0.5), Percentile(latencies, 0.95), Percentile(latencies, 1.0),
                latencies.size(), missed);
    std::printf("| sweep of %d ISO changes | %.0f ms | %zu frames downloaded | %llu the camera "
                "made and the download missed |\n",
                changes, sweepMs, swept.size(), static_cast<unsigned long long>(lost));
    std::printf("{\"p50_ms\": %.1f, \"p95_ms\": %.1f, \"sweep_ms\": %.0f, \"sweep_frames\": %zu, "
                "\"sweep_missed\": %llu}\n",
                Percentile(latencies, 0.5), Percentile(latencies, 0.95), sweepMs, swept.size(),
                static_cast<unsigned long long>(lost));
    return missed == 0 ? 0 : 1;
}
