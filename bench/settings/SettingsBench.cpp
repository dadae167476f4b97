// cvl-bench-settings: camera settings while a client streams.
//
// 1. Latency: CHANGES times, white balance goes between auto and tungsten
//    (a change the picture shows clearly: the blue-difference channel moves).
//    The time runs from the set request to the first frame the client gets
//    whose tint is the new one; the client polls every 2 ms. With the
//    change "size" the live-view size goes between 640x480 and 1024x768
//    instead, for a camera whose picture shows no exposure or tint (the
//    PTP/IP test camera): the frame's width shows the change.
// 2. Sweep: a consumer calls GetFrame 30 times a second, as a video
//    application does, for BASE seconds without changes and then during a
//    sweep of SWEEP changes (ISO, exposure compensation, white balance and
//    shutter speed in turn, one every 150 ms, each waited for). Frames lost
//    are gaps in the simulator's sequence numbers among the frames the
//    consumer got; what the sweep adds over the quiet part, per change, is
//    what the changes cost. Status pictures are counted.
//
// Usage: cvl-bench-settings [CHANGES] [SWEEP] [BASE] [tint|size]
//        (defaults 50, 100, 10, tint)
// Prints one line of JSON.
#include "CVLClient.h"
#include "CVLSettings.h"
#include "EvfFrame.h"
#include "JpegDecoder.h"
#include "cvlhost/FrameStamp.h"
#include "cvlhost/JpegHeader.h"
#include "cvlhost/StockFrames.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// The mean blue difference (Cb) of a frame, from a sparse grid.
bool MeanCb(const EvfFrame& frame, double& cb) {
    static std::vector<uint8_t> pixels;
    int width = 0;
    int height = 0;
    if (!cvl::bench::DecodeJpeg(frame.GetBuf(), static_cast<size_t>(frame.GetBufSize()), pixels,
                                width, height) ||
        width <= 0 || height <= 0)
        return false;
    double sum = 0;
    int count = 0;
    for (int y = 0; y < height; y += 8)
        for (int x = 0; x < width; x += 8, ++count)
            sum += pixels[(static_cast<size_t>(y) * width + x) * 3 + 1];
    cb = sum / count;
    return true;
}

// The change a latency run makes, and how a frame shows which side it is on.
class Probe {
public:
    Probe(CVLClient& client, CVLSettings& settings, bool size)
        : m_client(client), m_settings(settings), m_size(size) {}
    const char* Name() const { return m_size ? "live-view-size" : "white-balance"; }
    const char* Value(int side) const {
        static const char* const sizes[2] = {"640x480", "1024x768"};
        static const char* const balance[2] = {"auto", "tungsten"};
        return m_size ? sizes[side] : balance[side];
    }
    // The tint of both sides, measured once each (the size needs none).
    void Calibrate() {
        if (m_size)
            return;
        double tint[2] = {0, 0};
        std::string error;
        for (int side = 1; side >= 0; --side) {
            m_settings.Set(Name(), Value(side), error);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            for (int i = 0; i < 10; ++i) {
                std::unique_ptr<EvfFrame> frame(m_client.GetFrame());
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
            std::unique_ptr<EvfFrame> frame(m_client.GetFrame());
            MeanCb(*frame, tint[side]);
        }
        m_middle = (tint[0] + tint[1]) / 2;
        m_tungstenAbove = tint[1] > tint[0];
    }
    // Whether the frame shows side 1 (tungsten, 1024x768); false when
    // unreadable.
    bool Side(const EvfFrame& frame, bool& side) const {
        if (m_size) {
            int width = 0, height = 0;
            if (!cvl::host::ReadJpegSize(frame.GetBuf(), static_cast<size_t>(frame.GetBufSize()),
                                         width, height))
                return false;
            side = width == 1024;
            return true;
        }
        double cb = 0;
        if (!MeanCb(frame, cb))
            return false;
        side = (cb > m_middle) == m_tungstenAbove;
        return true;
    }

private:
    CVLClient& m_client;
    CVLSettings& m_settings;
    const bool m_size;
    double m_middle = 0;
    bool m_tungstenAbove = true;
};

struct Consumed {
    uint64_t lastSequence = 0;
    long frames = 0;
    long lost = 0;
    long status = 0;
};

void Take(const EvfFrame& frame, const cvl::host::StockFrames& stock, Consumed& c) {
    if (stock.Kind(frame) != cvl::host::FrameKind::Live) {
        ++c.status;
        return;
    }
    cvl::host::FrameStamp stamp;
    if (!cvl::host::ReadFrameStamp(frame.GetBuf(), static_cast<size_t>(frame.GetBufSize()),
                                   stamp) ||
        stamp.sequence == c.lastSequence)
        return;
    if (c.lastSequence != 0 && stamp.sequence > c.lastSequence + 1)
        c.lost += static_cast<long>(stamp.sequence - c.lastSequence - 1);
    c.lastSequence = stamp.sequence;
    ++c.frames;
}

} // namespace

int main(int argc, char** argv) {
    const int changes = argc > 1 ? std::atoi(argv[1]) : 50;
    const int sweep = argc > 2 ? std::atoi(argv[2]) : 100;
    const int baseSeconds = argc > 3 ? std::atoi(argv[3]) : 10;
    const bool bySize = argc > 4 && std::string(argv[4]) == "size";
    const cvl::host::StockFrames stock;
    CVLClient client;
    CVLSettings settings;
    std::string error;
    client.StartStreaming();

    // Wait for live frames and the settings.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    std::vector<CVLSetting> list;
    while (!settings.List(list, error)) {
        delete client.GetFrame();
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "cvl-bench-settings: %s\n", error.c_str());
            client.StopStreaming();
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Probe probe(client, settings, bySize);
    if (!settings.Set(probe.Name(), probe.Value(0), error)) {
        std::fprintf(stderr, "cvl-bench-settings: %s\n", error.c_str());
        client.StopStreaming();
        return 1;
    }

    // 1. Latency.
    probe.Calibrate();
    std::vector<double> latencies;
    int missed = 0;
    for (int i = 0; i < changes; ++i) {
        const int side = (i + 1) % 2;
        const auto start = Clock::now();
        if (settings.SubmitSet(probe.Name(), probe.Value(side), error) == 0) {
            ++missed;
            continue;
        }
        uint64_t lastSequence = 0;
        bool seen = false;
        while (!seen && Clock::now() - start < std::chrono::seconds(5)) {
            std::unique_ptr<EvfFrame> frame(client.GetFrame());
            cvl::host::FrameStamp stamp;
            bool shown = false;
            if (cvl::host::ReadFrameStamp(frame->GetBuf(), static_cast<size_t>(frame->GetBufSize()),
                                          stamp) &&
                stamp.sequence != lastSequence && probe.Side(*frame, shown)) {
                lastSequence = stamp.sequence;
                seen = shown == (side == 1);
            }
            if (!seen)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (seen)
            latencies.push_back(Ms(Clock::now() - start));
        else
            ++missed;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    // 2. The sweep, beside a 30 fps consumer.
    std::atomic<bool> sweeping{false};
    std::atomic<bool> done{false};
    Consumed quiet;
    Consumed during;
    std::thread consumer([&] {
        auto next = Clock::now();
        while (!done) {
            std::unique_ptr<EvfFrame> frame(client.GetFrame());
            Take(*frame, stock, sweeping ? during : quiet);
            next += std::chrono::microseconds(33333);
            std::this_thread::sleep_until(next);
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(baseSeconds));
    const struct {
        const char* name;
        std::vector<const char*> values;
    } steps[] = {{"iso", {"200", "800", "400"}},
                 {"exposure-compensation", {"+0.7", "-0.7", "0"}},
                 {"white-balance", {"daylight", "cloudy", "auto"}},
                 {"shutter-speed", {"1/30", "1/125", "1/60"}}};
    int failed = 0;
    sweeping = true;
    const auto sweepStart = Clock::now();
    for (int i = 0; i < sweep; ++i) {
        const auto& step = steps[i % 4];
        const auto at = sweepStart + std::chrono::milliseconds(150) * i;
        std::this_thread::sleep_until(at);
        if (!settings.Set(step.name, step.values[(i / 4) % 3], error))
            ++failed;
    }
    const double sweepSeconds = std::chrono::duration<double>(Clock::now() - sweepStart).count();
    done = true;
    consumer.join();
    client.StopStreaming();

    const double quietLostPerSecond = baseSeconds > 0 ? quiet.lost / double(baseSeconds) : 0;
    const double addedLost = during.lost - quietLostPerSecond * sweepSeconds;
    std::printf("{\"change\": \"%s\", \"changes\": %d, \"latency_ms\": {\"p50\": %.1f, \"p95\": "
                "%.1f, \"max\": %.1f}, "
                "\"missed\": %d, \"sweep\": %d, \"sweep_failed\": %d, \"sweep_seconds\": %.1f, "
                "\"quiet\": {\"frames\": %ld, \"lost\": %ld, \"status\": %ld}, "
                "\"during\": {\"frames\": %ld, \"lost\": %ld, \"status\": %ld}, "
                "\"lost_per_change\": %.2f}\n",
                probe.Name(), changes, Percentile(latencies, 0.5), Percentile(latencies, 0.95),
                Percentile(latencies, 1.0), missed, sweep, failed, sweepSeconds, quiet.frames,
                quiet.lost, quiet.status, during.frames, during.lost, during.status,
                sweep > 0 ? std::max(0.0, addedLost) / sweep : 0.0);
    return missed == 0 && failed == 0 ? 0 : 1;
}
