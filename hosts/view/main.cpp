// cvl-view: the viewer host. It plays the part of a video application that
// hosts the client library: it streams in port or sandbox mode, calls
// GetFrame at a steady rate, and reports what it got: a line per second and,
// on request, a JSON summary. Frames can be written as Motion-JPEG and the
// last live one as a snapshot.
#include "ViewOptions.h"

#include "CVLClient.h"
#include "EvfFrame.h"
#include "cvlhost/HostOptions.h"
#include "cvlhost/FrameStamp.h"
#include "cvlhost/FrameStats.h"
#include "cvlhost/StockFrames.h"
#include "cvlhost/StreamWatch.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace cvl::view;
using namespace cvl::host;
using Bytes = std::vector<unsigned char>;

volatile std::sig_atomic_t g_interrupted = 0;

void Interrupt(int) {
    g_interrupted = 1;
}

Bytes BytesOf(const EvfFrame& frame) {
    if (!frame.GetBuf())
        return Bytes();
    return Bytes(frame.GetBuf(), frame.GetBuf() + frame.GetBufSize());
}

bool WriteWhole(const std::string& path, const Bytes& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// One step of --reconnect after a GetFrame. The frames the client hands out
// are counted as they come, so a dead service's repeated frame stays.
void Reconnect(StreamWatch& watch, CVLClient& client, FrameKind kind, bool distinctLive) {
    const bool wasGone = watch.State() == StreamState::ServiceNotRunning;
    switch (watch.Observe(kind, distinctLive || kind != FrameKind::Live, false,
                          std::chrono::steady_clock::now())) {
    case StreamWatch::Action::DropStale:
        std::fprintf(stderr, "cvl-view: no new frame for 5 s and the service's request port is "
                             "not served; waiting for it\n");
        break;
    case StreamWatch::Action::AskAgain:
        std::fprintf(stderr, "cvl-view: %s; asking for the stream again\n",
                     wasGone ? "the service is back" : "no new frame from a running service");
        client.StartStreaming();
        break;
    case StreamWatch::Action::None:
        break;
    }
}

} // namespace

int main(int argc, char** argv) {
    ViewOptions options;
    std::string error;
    const std::string program = cvl::host::ProgramName(argv[0], "cvl-view");
    if (!ParseViewOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(),
                     ViewUsage(program).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(ViewUsage(program).c_str(), stdout);
        return 0;
    }

    FILE* out = nullptr;
    if (!options.outPath.empty()) {
        out = std::fopen(options.outPath.c_str(), "wb");
        if (!out) {
            std::fprintf(stderr, "cvl-view: cannot write %s: %s\n", options.outPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::signal(SIGINT, Interrupt);
    std::signal(SIGTERM, Interrupt);

    const StockFrames stock;
    FrameStats stats;
    Bytes lastLive;
    bool haveLastStamp = false;
    FrameStamp lastStamp;
    bool writeFailed = false;

    CVLClient client;
    const bool sandbox = options.mode == ViewOptions::Mode::Sandbox;
    if (sandbox)
        client.EnableSandboxMode(true);
    if (options.startSandbox)
        client.StartStreamingSandboxMode();
    client.StartStreaming(); // does nothing in sandbox mode

    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::nanoseconds(1000000000LL / options.rate);
    const auto start = Clock::now();
    const auto end = start + std::chrono::nanoseconds(static_cast<int64_t>(options.seconds * 1e9));
    auto next = start;
    // --reconnect: probe the request port after 5 s without a distinct live
    // frame, every 0.5 s while it is not served, and ask again once it is.
    StreamWatch::Timing timing;
    timing.probeAfter = std::chrono::seconds(5);
    timing.askAfter = std::chrono::seconds(5);
    StreamWatch watch(start, StreamWatch::PortProbe(), timing);
    int second = 1;
    while (!g_interrupted) {
        const auto now = Clock::now();
        while (now - start >= std::chrono::seconds(second)) {
            const std::string line = stats.TakeSecondLine(second++);
            if (!options.quiet) {
                std::printf("%s\n", line.c_str());
                std::fflush(stdout);
            }
        }
        if (now >= end)
            break;
        if (now < next) {
            std::this_thread::sleep_for(std::min<Clock::duration>(next - now, end - now));
            continue;
        }
        // A call that took longer than a period is followed at once by the
        // next one; the pace then continues from there.
        next = std::max(next + period, now);

        std::unique_ptr<EvfFrame> frame(client.GetFrame());
        const int64_t arrivedNs = MonotonicNowNs();
        const FrameKind kind = stock.Kind(*frame);
        bool distinctLive = false;
        if (kind != FrameKind::Live) {
            stats.RecordStatus(kind);
        } else {
            Bytes bytes = BytesOf(*frame);
            FrameStamp stamp;
            const bool stamped = ReadFrameStamp(bytes.data(), bytes.size(), stamp);
            bool unique;
            if (stamped && haveLastStamp)
                unique = stamp.sequence != lastStamp.sequence;
            else
                unique = bytes != lastLive || lastLive.empty();
            stats.RecordLive(unique, stamped ? &stamp : nullptr, arrivedNs);
            haveLastStamp = stamped;
            lastStamp = stamp;
            if (out && !bytes.empty() &&
                std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
                writeFailed = true;
            lastLive = std::move(bytes);
            distinctLive = unique;
        }
        if (options.reconnect && !sandbox)
            Reconnect(watch, client, kind, distinctLive);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (stats.SecondHasCalls() && !options.quiet) {
        std::printf("%s\n", stats.TakeSecondLine(second).c_str());
        std::fflush(stdout);
    }

    client.StopStreaming(); // port mode: ends the stream; sandbox mode: starts reading over
    if (options.startSandbox)
        client.StopStreamingSandboxMode();

    int status = 0;
    if (out && (std::fclose(out) != 0 || writeFailed)) {
        std::fprintf(stderr, "cvl-view: writing %s failed\n", options.outPath.c_str());
        status = 1;
    }
    if (!options.snapshotPath.empty()) {
        if (lastLive.empty()) {
            std::fprintf(stderr, "cvl-view: no live frame for the snapshot %s\n",
                         options.snapshotPath.c_str());
        } else if (!WriteWhole(options.snapshotPath, lastLive)) {
            std::fprintf(stderr, "cvl-view: cannot write %s\n", options.snapshotPath.c_str());
            status = 1;
        }
    }
    const std::string json = stats.SummaryJson(elapsed);
    if (!options.jsonPath.empty()) {
        const std::string line = json + "\n";
        if (!WriteWhole(options.jsonPath, Bytes(line.begin(), line.end()))) {
            std::fprintf(stderr, "cvl-view: cannot write %s\n", options.jsonPath.c_str());
            status = 1;
        }
    }
    if (options.json) {
        std::printf("%s\n", json.c_str());
        std::fflush(stdout);
    }
    return status;
}
