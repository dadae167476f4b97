// ffmpeg reading a cvl-web stream as a media player does: `ffmpeg -i URL`
// with no input options, and two copies of the video it demuxes, the JPEGs
// to one FIFO and each packet's times (framecrc) to another, so that every
// frame is known by its time in the stream, the moment ffmpeg gave it out and
// the simulator's stamp inside it. The figures then tell what a player that
// shows frames by their times would show, and when.
#ifndef CVL_TESTS_HOSTS_WEB_FFMPEGREADER_H
#define CVL_TESTS_HOSTS_WEB_FFMPEGREADER_H

#include "ChildProcess.h"
#include "cvlhost/FrameStamp.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace cvl::test {

struct PlayedFrame {
    int64_t ptsMs = 0; // its time in the stream
    int64_t outNs = 0; // CLOCK_MONOTONIC when its last byte came out of ffmpeg
    bool stamped = false;
    host::FrameStamp stamp;
};

// A figure of every stamped frame, in milliseconds: its spread, and its
// median over each window of frames (by when they came out of ffmpeg).
struct FrameSeries {
    double p50 = 0;
    double p95 = 0;
    double max = 0;
    double firstWindow = 0;
    double lastWindow = 0;
    double worstWindow = 0; // the window median farthest from zero
    std::string Json() const;
};

// Windows of this length make the medians.
constexpr std::chrono::seconds kPlayerWindow{2};

// The series of values, values[i] taken at atNs[i] (in order), with its
// medians over windows of the given length from startNs on.
FrameSeries SeriesOver(int64_t startNs, const std::vector<int64_t>& atNs,
                       const std::vector<double>& values, std::chrono::nanoseconds window);

struct PlayerFigures {
    int frames = 0;
    int unstamped = 0;
    double seconds = 0; // from the first frame out to the last
    // From a frame's stamp to its coming out of ffmpeg.
    FrameSeries outDelay;
    // A frame's time in the stream against the camera's: the difference of
    // its time and the first frame's, less the difference of their stamps.
    // It stays near zero when the stream's times advance with the camera's
    // clock; it grows when a reader counts time at a rate of its own.
    FrameSeries drift;
    // From a frame's stamp to when a player that paces by the stream's times
    // shows it: the first frame as it comes, each later one at the first's
    // moment plus the difference of their times, or as it comes if that is
    // later. Its start is the first frame's delay, whatever that was.
    FrameSeries shownDelay;
    double streamSpanMs = 0; // last time minus first time in the stream
    double cameraSpanMs = 0; // the same by the camera's stamps
    double outSpanMs = 0;    // and by the moments ffmpeg gave them out
    std::string Json() const;
};

PlayerFigures FiguresOf(const std::vector<PlayedFrame>& frames);

class FfmpegReader {
public:
    FfmpegReader() = default;
    // Ends ffmpeg if it still runs.
    ~FfmpegReader();
    FfmpegReader(const FfmpegReader&) = delete;
    FfmpegReader& operator=(const FfmpegReader&) = delete;

    // Starts ffmpeg on url; false when it could not be started.
    bool Start(const std::string& url);
    // Collects frames until duration has passed since the first, ffmpeg
    // ends, or no first frame came within firstFrameTimeout. Then ends ffmpeg.
    void ReadFor(std::chrono::milliseconds duration,
                 std::chrono::milliseconds firstFrameTimeout = std::chrono::seconds(30));

    const std::vector<PlayedFrame>& Frames() const { return m_frames; }
    // The time base of the stream's times as framecrc states it ("1/1000").
    const std::string& TimeBase() const { return m_timeBase; }
    // Frames whose times or bytes could not be read.
    int Malformed() const { return m_malformed; }
    std::string Log() const { return m_process.Log(); }

private:
    // Takes whole framecrc lines and, for each, that many JPEG bytes.
    void TakeFrames(int64_t nowNs);

    ChildProcess m_process;
    int m_jpegFd = -1;
    int m_timesFd = -1;
    std::string m_jpegBytes;
    std::string m_timesText;
    std::string m_timeBase;
    int64_t m_tbNum = 0;
    int64_t m_tbDen = 0;
    std::vector<PlayedFrame> m_frames;
    int m_malformed = 0;
};

} // namespace cvl::test

#endif
