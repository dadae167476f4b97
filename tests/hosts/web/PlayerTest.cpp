// cvl-web's stream for media players read by the real reader that they are
// built on: ffmpeg, given nothing but the URL, as OBS's Media Source, ffplay
// and other ffmpeg-based players open it. The real service of a staged
// installation runs the simulated camera, whose stamp in every frame tells
// how far behind the camera each frame is shown.
//
// CVL_PLAYER_BENCH_SECONDS=N makes it the benchmark (bench/web/run.sh): it
// reads for N seconds, then reads the browsers' multipart stream the same
// way for comparison, and prints the figures of both as JSON lines.
#include "FfmpegReader.h"
#include "HttpProbe.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

using namespace cvl::test;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr double kMostDelayMs = 300;

int BenchSeconds() {
    const char* value = std::getenv("CVL_PLAYER_BENCH_SECONDS");
    return value ? std::atoi(value) : 0;
}

// ffmpeg reads path for the time; the figures, with cvl-web's CPU share then.
PlayerFigures Read(const WebProcess& web, const std::string& path, seconds duration,
                   std::string& timeBase, double& webCpu, std::string& log) {
    FfmpegReader reader;
    EXPECT_TRUE(reader.Start("http://127.0.0.1:" + std::to_string(web.Port()) + path));
    const double cpuBefore = CpuSeconds(web.Pid());
    reader.ReadFor(duration);
    const PlayerFigures figures = FiguresOf(reader.Frames());
    webCpu = figures.seconds > 0 ? (CpuSeconds(web.Pid()) - cpuBefore) / figures.seconds : 0;
    timeBase = reader.TimeBase();
    log = reader.Log();
    EXPECT_EQ(reader.Malformed(), 0) << log;
    // Live frames only, each newer than the one before.
    int older = 0;
    for (size_t i = 1; i < reader.Frames().size(); ++i)
        older += reader.Frames()[i].stamp.sequence <= reader.Frames()[i - 1].stamp.sequence;
    EXPECT_EQ(older, 0);
    return figures;
}

TEST(PlayerStream, FfmpegWithNoOptionsKeepsUpWithTheMatroskaStream) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    WebProcess web;
    ASSERT_TRUE(web.StartLive()) << web.Output() << web.Errors();

    const int bench = BenchSeconds();
    const seconds duration(bench > 0 ? bench : 12);
    std::string timeBase;
    std::string log;
    double webCpu = 0;
    const PlayerFigures mkv = Read(web, "/stream.mkv", duration, timeBase, webCpu, log);
    std::printf("{\"stream\":\"/stream.mkv\",\"web_cpu\":%.3f,\"figures\":%s}\n", webCpu,
                mkv.Json().c_str());

    EXPECT_EQ(timeBase, "1/1000") << log;
    // Some 35 frames a second come; a loaded machine with the sanitizers
    // passes fewer, and fewer still would be no stream a player shows.
    EXPECT_GE(mkv.frames, 5 * duration.count()) << log;
    EXPECT_EQ(mkv.unstamped, 0);
    // Frames come out of ffmpeg as close behind the camera at the end as at
    // the start, and the stream's times advance with the camera's clock: a
    // player that shows frames by their times stays as far behind as it was
    // at its first frame. Medians over each window, from the first on, so
    // that a moment's stall of a loaded machine is not taken for a delay (a
    // stall just before the last frame once moved the stream's span from the
    // camera's by 555 ms, while every window's drift stayed under 10 ms).
    EXPECT_LT(mkv.outDelay.worstWindow, kMostDelayMs) << mkv.Json();
    EXPECT_LT(std::fabs(mkv.drift.worstWindow), kMostDelayMs) << mkv.Json();

    if (bench > 0) {
        const PlayerFigures multipart = Read(web, "/stream.mjpeg", duration, timeBase, webCpu, log);
        std::printf("{\"stream\":\"/stream.mjpeg\",\"web_cpu\":%.3f,\"figures\":%s}\n", webCpu,
                    multipart.Json().c_str());
    }
}

} // namespace
