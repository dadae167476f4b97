// cvl-bench-consumer: a video consumer for the benchmarks. It takes frames
// from a PipeWire node (as an application does, in one format) or raw
// yuv420p frames from standard input (what an ffmpeg pipeline writes), holds
// each decoded frame and notes when it did, and ends with one line of JSON
// (FrameTimes::SummaryJson). The camera time of a frame comes from:
//   --numbers LOG  the frame number in its pixels, looked up in the PTP/IP
//                  test camera's send log;
//   otherwise      the simulator's stamp in an MJPG frame, or the buffer
//                  header's pts of a raw frame when the node sets it
//                  (CLOCK_MONOTONIC nanoseconds); a raw frame without one
//                  counts as a distinct frame when its pixels differ from
//                  the frame before, without a latency.
//
// Usage: cvl-bench-consumer pipewire NODE mjpg|i420|nv12|yuy2 [options]
//        cvl-bench-consumer stdin WIDTHxHEIGHT [options]
// Options: --seconds S  counted time (default 20), after
//          --skip S     uncounted time from the first frame (default 2);
//          --wait S     longest wait for the first frame (default 30);
//          --cpu-of P,P CPU share of these processes over the counted time
//                       ("cpu" in the JSON; its own is "self_cpu");
//          --frames LOG one line an MJPG frame: "<CLOCK_REALTIME ns> live <n>"
//                       for a frame with the camera's stamp (n its sequence),
//                       "<ns> status" for one without (a status picture).
#include "CpuTime.h"
#include "FrameNumber.h"
#include "cvlhost/FrameStamp.h"
#include "FrameTimes.h"
#include "JpegDecoder.h"
#include "PipeWireInput.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace cvl::bench;

struct Run {
    InputFormat format = InputFormat::Mjpg;
    std::string numbersLog;
    std::FILE* frameLog = nullptr;
    double seconds = 20, skip = 2, wait = 30;
    FrameTimes* times = nullptr;
    PipeWireInput* input = nullptr;
    std::vector<uint8_t> decoded;
    int64_t badFrames = 0;
    CpuTime others, self;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: cvl-bench-consumer pipewire NODE mjpg|i420|nv12|yuy2 [options]\n"
                 "       cvl-bench-consumer stdin WIDTHxHEIGHT [options]\n"
                 "options: --seconds S --skip S --wait S --numbers SEND-LOG --frames LOG\n");
    return 2;
}

// Samples the CPU times when the counted time begins and ends; true once it
// ended.
bool Finished(Run& run, int64_t nowNs) {
    if (!run.times->Started())
        return false;
    const int64_t elapsed = nowNs - run.times->FirstNs();
    if (!run.self.Started() && elapsed >= static_cast<int64_t>(run.skip * 1e9)) {
        run.others.Start(nowNs);
        run.self.Start(nowNs);
    }
    if (elapsed < static_cast<int64_t>((run.skip + run.seconds) * 1e9))
        return false;
    if (!run.self.Stopped()) {
        run.others.Stop(nowNs);
        run.self.Stop(nowNs);
    }
    return true;
}

// A hash of every 16th luma sample of every 16th row: tells a repeated
// picture from a new one.
uint64_t LumaHash(const uint8_t* luma, int width, int height, size_t rowStride,
                  size_t pixelStride) {
    uint64_t hash = 14695981039346656037ull;
    for (int y = 0; y < height; y += 16)
        for (int x = 0; x < width; x += 16)
            hash =
                (hash ^
                 luma[static_cast<size_t>(y) * rowStride + static_cast<size_t>(x) * pixelStride]) *
                1099511628211ull;
    return hash;
}

// Notes one frame whose luma is at hand; now is when the frame was held.
void NoteLuma(Run& run, const uint8_t* luma, int width, int height, size_t rowStride,
              size_t pixelStride, int64_t pts, int64_t nowNs) {
    uint32_t number = 0;
    if (!run.numbersLog.empty()) {
        if (cvl::test::ReadFrameNumber(luma, width, height, rowStride, pixelStride, number))
            run.times->Numbered(number, nowNs);
        else
            run.times->Unmarked(nowNs);
    } else if (pts > 0) {
        run.times->Stamped(static_cast<uint64_t>(pts), pts, nowNs);
    } else {
        run.times->Distinct(LumaHash(luma, width, height, rowStride, pixelStride), nowNs);
    }
}

void LogFrame(std::FILE* log, const uint8_t* data, size_t size) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const long long ns = static_cast<long long>(ts.tv_sec) * 1000000000ll + ts.tv_nsec;
    cvl::host::FrameStamp stamp;
    if (cvl::host::ReadFrameStamp(data, size, stamp))
        std::fprintf(log, "%lld live %llu\n", ns, static_cast<unsigned long long>(stamp.sequence));
    else
        std::fprintf(log, "%lld status\n", ns);
}

void OnFrame(void* context, const InputFrame& frame) {
    Run& run = *static_cast<Run*>(context);
    if (run.format == InputFormat::Mjpg) {
        int width = 0, height = 0;
        const bool decoded = DecodeJpeg(frame.data, frame.size, run.decoded, width, height);
        const int64_t now = cvl::host::MonotonicNowNs();
        cvl::host::FrameStamp stamp;
        if (!decoded)
            ++run.badFrames;
        else if (!run.numbersLog.empty())
            NoteLuma(run, run.decoded.data(), width, height, static_cast<size_t>(width) * 3, 3, -1,
                     now);
        else if (cvl::host::ReadFrameStamp(frame.data, frame.size, stamp))
            run.times->Stamped(stamp.sequence, stamp.monotonicNs, now);
        else
            run.times->Unmarked(now);
        if (run.frameLog)
            LogFrame(run.frameLog, frame.data, frame.size);
        if (Finished(run, now))
            run.input->Quit();
        return;
    }
    const int64_t now = cvl::host::MonotonicNowNs();
    const bool packed = run.format == InputFormat::Yuy2;
    const size_t rowStride =
        frame.stride ? frame.stride : static_cast<size_t>(frame.width) * (packed ? 2 : 1);
    if (frame.width <= 0 || frame.height <= 0 ||
        frame.size < rowStride * static_cast<size_t>(frame.height))
        ++run.badFrames;
    else
        NoteLuma(run, frame.data, frame.width, frame.height, rowStride, packed ? 2 : 1, frame.pts,
                 now);
    if (Finished(run, now))
        run.input->Quit();
}

bool ReadAll(int fd, uint8_t* to, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = read(fd, to + done, length - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// yuv420p frames one after another on standard input until its end.
void ReadStdin(Run& run, int width, int height) {
    const size_t lumaBytes = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> frame(lumaBytes + 2 * (static_cast<size_t>((width + 1) / 2) *
                                                static_cast<size_t>((height + 1) / 2)));
    while (ReadAll(0, frame.data(), frame.size())) {
        const int64_t now = cvl::host::MonotonicNowNs();
        NoteLuma(run, frame.data(), width, height, static_cast<size_t>(width), 1, -1, now);
        if (Finished(run, now))
            break;
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2)
        return Usage();
    Run run;
    size_t next = args[0] == "pipewire" ? 3 : 2;
    if (args[0] == "pipewire" && (args.size() < 3 || !ParseInputFormat(args[2], run.format)))
        return Usage();
    int width = 0, height = 0;
    if (args[0] == "stdin" && std::sscanf(args[1].c_str(), "%dx%d", &width, &height) != 2)
        return Usage();
    if (args[0] != "pipewire" && args[0] != "stdin")
        return Usage();
    for (; next < args.size(); next += 2) {
        if (next + 1 >= args.size())
            return Usage();
        const std::string& value = args[next + 1];
        if (args[next] == "--seconds")
            run.seconds = std::atof(value.c_str());
        else if (args[next] == "--skip")
            run.skip = std::atof(value.c_str());
        else if (args[next] == "--wait")
            run.wait = std::atof(value.c_str());
        else if (args[next] == "--numbers")
            run.numbersLog = value;
        else if (args[next] == "--cpu-of" && run.others.Parse(value))
            continue;
        else if (args[next] == "--frames" && !run.frameLog &&
                 (run.frameLog = std::fopen(value.c_str(), "we")))
            continue;
        else
            return Usage();
    }
    if (args[0] == "stdin" && (width < 16 || height < 16 || run.numbersLog.empty()))
        return Usage();

    run.self.Add(getpid());
    FrameTimes times(static_cast<int64_t>(run.skip * 1e9));
    run.times = &times;
    if (args[0] == "pipewire") {
        PipeWireInput input(run.format, OnFrame, &run);
        run.input = &input;
        std::string error;
        if (!input.Run(args[1], run.wait + run.skip + run.seconds, error)) {
            std::fprintf(stderr, "cvl-bench-consumer: %s\n", error.c_str());
            return 1;
        }
    } else {
        ReadStdin(run, width, height);
    }
    if (!run.numbersLog.empty() && !times.JoinSendLog(run.numbersLog, cvl::test::kFrameNumbers)) {
        std::fprintf(stderr, "cvl-bench-consumer: cannot read %s\n", run.numbersLog.c_str());
        return 1;
    }
    if (run.self.Started() && !run.self.Stopped()) {
        // The input ended before the counted time did.
        run.others.Stop(cvl::host::MonotonicNowNs());
        run.self.Stop(cvl::host::MonotonicNowNs());
    }
    if (run.badFrames)
        std::fprintf(stderr, "cvl-bench-consumer: %lld frames could not be read\n",
                     static_cast<long long>(run.badFrames));
    if (run.frameLog)
        std::fclose(run.frameLog);
    std::string summary = times.SummaryJson();
    char cpu[96];
    std::snprintf(cpu, sizeof cpu, ", \"cpu\": %.4f, \"self_cpu\": %.4f}", run.others.Share(),
                  run.self.Share());
    summary.pop_back();
    std::printf("%s%s\n", summary.c_str(), cpu);
    return times.Started() ? 0 : 1;
}
