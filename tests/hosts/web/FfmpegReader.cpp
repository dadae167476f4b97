#include "FfmpegReader.h"

#include "TestSupport.h"
#include "cvlhost/FrameStats.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace cvl::test {

namespace {

double Ms(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

// values[i] belongs to frames[i]; only stamped frames count.
FrameSeries SeriesOf(const std::vector<PlayedFrame>& frames, const std::vector<double>& values) {
    std::vector<int64_t> atNs;
    std::vector<double> stamped;
    for (size_t i = 0; i < frames.size(); ++i)
        if (frames[i].stamped) {
            atNs.push_back(frames[i].outNs);
            stamped.push_back(values[i]);
        }
    return SeriesOver(frames.front().outNs, atNs, stamped, kPlayerWindow);
}

} // namespace

FrameSeries SeriesOver(int64_t startNs, const std::vector<int64_t>& atNs,
                       const std::vector<double>& values, std::chrono::nanoseconds window) {
    FrameSeries series;
    if (values.empty())
        return series;
    std::vector<double> medians;
    std::vector<double> inWindow;
    const int64_t length = window.count();
    int64_t end = startNs + length;
    const auto close = [&] {
        if (!inWindow.empty())
            medians.push_back(host::FrameStats::Percentile(inWindow, 50));
        inWindow.clear();
    };
    for (size_t i = 0; i < values.size(); ++i) {
        if (atNs[i] >= end) {
            close();
            while (atNs[i] >= end)
                end += length;
        }
        inWindow.push_back(values[i]);
    }
    close();
    series.p50 = host::FrameStats::Percentile(values, 50);
    series.p95 = host::FrameStats::Percentile(values, 95);
    series.max = host::FrameStats::Percentile(values, 100);
    series.firstWindow = medians.front();
    series.lastWindow = medians.back();
    for (double median : medians)
        if (std::fabs(median) > std::fabs(series.worstWindow))
            series.worstWindow = median;
    return series;
}

std::string FrameSeries::Json() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "{\"p50\":%.1f,\"p95\":%.1f,\"max\":%.1f,\"first_window\":%.1f,"
                  "\"last_window\":%.1f,\"worst_window\":%.1f}",
                  p50, p95, max, firstWindow, lastWindow, worstWindow);
    return text;
}

std::string PlayerFigures::Json() const {
    char spans[128];
    std::snprintf(spans, sizeof spans, "{\"stream\":%.0f,\"camera\":%.0f,\"out\":%.0f}",
                  streamSpanMs, cameraSpanMs, outSpanMs);
    char head[96];
    std::snprintf(head, sizeof head, "{\"frames\":%d,\"unstamped\":%d,\"seconds\":%.1f", frames,
                  unstamped, seconds);
    return std::string(head) + ",\"out_delay_ms\":" + outDelay.Json() +
           ",\"drift_ms\":" + drift.Json() + ",\"shown_delay_ms\":" + shownDelay.Json() +
           ",\"span_ms\":" + spans + "}";
}

PlayerFigures FiguresOf(const std::vector<PlayedFrame>& frames) {
    PlayerFigures figures;
    figures.frames = static_cast<int>(frames.size());
    if (frames.empty())
        return figures;
    const PlayedFrame& first = frames.front();
    const PlayedFrame& last = frames.back();
    figures.seconds = Ms(last.outNs - first.outNs) / 1000;
    figures.streamSpanMs = static_cast<double>(last.ptsMs - first.ptsMs);
    figures.outSpanMs = Ms(last.outNs - first.outNs);
    const PlayedFrame* firstStamped = nullptr;
    const PlayedFrame* lastStamped = nullptr;
    std::vector<double> outDelay(frames.size(), 0);
    std::vector<double> drift(frames.size(), 0);
    std::vector<double> shownDelay(frames.size(), 0);
    for (size_t i = 0; i < frames.size(); ++i) {
        const PlayedFrame& frame = frames[i];
        if (!frame.stamped) {
            ++figures.unstamped;
            continue;
        }
        if (!firstStamped)
            firstStamped = &frame;
        lastStamped = &frame;
        const int64_t streamNs = (frame.ptsMs - first.ptsMs) * 1000000;
        const int64_t shown = std::max(frame.outNs, first.outNs + streamNs);
        outDelay[i] = Ms(frame.outNs - frame.stamp.monotonicNs);
        drift[i] = Ms((frame.ptsMs - firstStamped->ptsMs) * 1000000 -
                      (frame.stamp.monotonicNs - firstStamped->stamp.monotonicNs));
        shownDelay[i] = Ms(shown - frame.stamp.monotonicNs);
    }
    if (!firstStamped)
        return figures;
    figures.cameraSpanMs = Ms(lastStamped->stamp.monotonicNs - firstStamped->stamp.monotonicNs);
    figures.outDelay = SeriesOf(frames, outDelay);
    figures.drift = SeriesOf(frames, drift);
    figures.shownDelay = SeriesOf(frames, shownDelay);
    return figures;
}

FfmpegReader::~FfmpegReader() {
    m_process.Stop();
    if (m_jpegFd >= 0)
        close(m_jpegFd);
    if (m_timesFd >= 0)
        close(m_timesFd);
}

bool FfmpegReader::Start(const std::string& url) {
    static int started = 0;
    const std::string folder = MakeFolder("ffmpeg-" + std::to_string(++started));
    const std::string jpegs = folder + "/frames.mjpeg";
    const std::string times = folder + "/frames.crc";
    if (mkfifo(jpegs.c_str(), 0600) != 0 || mkfifo(times.c_str(), 0600) != 0)
        return false;
    // Opened for reading first, so that ffmpeg's opening them for writing
    // does not wait.
    m_jpegFd = open(jpegs.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    m_timesFd = open(times.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_jpegFd < 0 || m_timesFd < 0)
        return false;
    // The input as a player opens it: no options. Each output is flushed
    // after every packet so that a frame comes out when ffmpeg has it.
    std::vector<std::string> arguments = {"ffmpeg", "-nostdin", "-hide_banner", "-y", "-i", url};
    for (const auto& [format, path] : {std::pair(std::string("mjpeg"), jpegs), {"framecrc", times}})
        arguments.insert(arguments.end(),
                         {"-map", "0:v", "-c", "copy", "-flush_packets", "1", "-f", format, path});
    return m_process.Start(arguments, ChildProcess::EnvironmentWith({}), folder + "/ffmpeg.log");
}

void FfmpegReader::ReadFor(std::chrono::milliseconds duration,
                           std::chrono::milliseconds firstFrameTimeout) {
    const int64_t started = host::MonotonicNowNs();
    const int64_t durationNs = std::chrono::nanoseconds(duration).count();
    const int64_t firstDeadline = started + std::chrono::nanoseconds(firstFrameTimeout).count();
    std::vector<char> buffer(256 * 1024);
    bool open = true;
    while (open) {
        const int64_t now = host::MonotonicNowNs();
        if (m_frames.empty() ? now >= firstDeadline : now - m_frames.front().outNs >= durationNs)
            break;
        pollfd fds[2] = {{m_jpegFd, POLLIN, 0}, {m_timesFd, POLLIN, 0}};
        const int ready = poll(fds, 2, 100);
        if (ready < 0 || (ready == 0 && !m_process.Running()))
            break;
        for (pollfd& fd : fds) {
            if (!(fd.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t got = read(fd.fd, buffer.data(), buffer.size());
            if (got > 0)
                (fd.fd == m_jpegFd ? m_jpegBytes : m_timesText)
                    .append(buffer.data(), static_cast<size_t>(got));
            else if (got == 0 && fd.revents & POLLHUP && !m_process.Running())
                open = false; // ffmpeg ended
        }
        TakeFrames(host::MonotonicNowNs());
    }
    m_process.Stop();
}

void FfmpegReader::TakeFrames(int64_t nowNs) {
    for (;;) {
        const size_t end = m_timesText.find('\n');
        if (end == std::string::npos)
            return;
        const std::string line = m_timesText.substr(0, end);
        if (line.rfind("#tb 0: ", 0) == 0) {
            m_timeBase = line.substr(7);
            m_tbNum = std::atoll(m_timeBase.c_str());
            const size_t slash = m_timeBase.find('/');
            m_tbDen = slash == std::string::npos ? 0 : std::atoll(m_timeBase.c_str() + slash + 1);
        }
        if (line.empty() || line[0] == '#') {
            m_timesText.erase(0, end + 1);
            continue;
        }
        // stream, dts, pts, duration, size, crc
        std::istringstream fields(line);
        std::string field;
        std::vector<std::string> values;
        while (std::getline(fields, field, ','))
            values.push_back(field);
        const long long size = values.size() == 6 ? std::atoll(values[4].c_str()) : -1;
        if (size <= 0 || m_tbDen <= 0) {
            ++m_malformed;
            m_timesText.erase(0, end + 1);
            continue;
        }
        if (m_jpegBytes.size() < static_cast<size_t>(size))
            return; // its bytes are still on the way
        PlayedFrame frame;
        frame.ptsMs = std::atoll(values[2].c_str()) * m_tbNum * 1000 / m_tbDen;
        frame.outNs = nowNs;
        frame.stamped = host::ReadFrameStamp(reinterpret_cast<const uint8_t*>(m_jpegBytes.data()),
                                             static_cast<size_t>(size), frame.stamp);
        m_frames.push_back(frame);
        m_jpegBytes.erase(0, static_cast<size_t>(size));
        m_timesText.erase(0, end + 1);
    }
}

} // namespace cvl::test
