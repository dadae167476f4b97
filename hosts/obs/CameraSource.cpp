#include "CameraSource.h"

#include <util/platform.h>

namespace cvl::obs {

using cvl::host::FeedFrame;
using cvl::host::FrameKind;
using cvl::host::StreamState;

namespace {

std::chrono::milliseconds LingerOf(obs_data_t* settings) {
    long long seconds = obs_data_get_int(settings, CameraSource::kLingerSetting);
    if (seconds < 0)
        seconds = 0;
    if (seconds > 600)
        seconds = 600;
    return std::chrono::seconds(seconds);
}

const char* SourceName(obs_source_t* source) {
    const char* name = obs_source_get_name(source);
    return name ? name : "";
}

} // namespace

CameraSource::CameraSource(obs_source_t* source, obs_data_t* settings)
    : m_source(source), m_linger(LingerOf(settings)), m_feed(&CameraSource::OnFeed, this) {
    // The newest frame at once: OBS's buffering by time stamps would only
    // add delay to a live view.
    obs_source_set_async_unbuffered(source, true);
    if (!m_feed.Started())
        blog(LOG_ERROR,
             "[Corvalink Camera] '%s': cannot start the frame thread; the source "
             "stays empty",
             SourceName(source));
}

CameraSource::~CameraSource() {
    Close();
    m_feed.Shutdown();
    pthread_mutex_destroy(&m_outputMutex);
    pthread_mutex_destroy(&m_mutex);
}

void CameraSource::Update(obs_data_t* settings) {
    pthread_mutex_lock(&m_mutex);
    m_linger = LingerOf(settings);
    pthread_mutex_unlock(&m_mutex);
}

void CameraSource::Activate() {
    pthread_mutex_lock(&m_mutex);
    m_active = true;
    pthread_mutex_unlock(&m_mutex);
    m_feed.SetWanted(true);
}

void CameraSource::Deactivate() {
    pthread_mutex_lock(&m_mutex);
    m_active = false;
    const std::chrono::milliseconds linger = m_linger;
    pthread_mutex_unlock(&m_mutex);
    m_feed.SetWanted(false, linger);
}

void CameraSource::Close() {
    // Waits for a picture being handed over (one decode at most).
    pthread_mutex_lock(&m_outputMutex);
    m_closed = true;
    pthread_mutex_unlock(&m_outputMutex);
    m_feed.SetWanted(false);
}

StreamState CameraSource::State() {
    return m_feed.Newest().state;
}

void CameraSource::OnFeed(void* source) {
    static_cast<CameraSource*>(source)->Show();
}

void CameraSource::Show() {
    pthread_mutex_lock(&m_mutex);
    const bool active = m_active;
    pthread_mutex_unlock(&m_mutex);

    pthread_mutex_lock(&m_outputMutex);
    if (m_closed || !active) {
        // While lingering nothing is decoded; shown again, the source
        // starts from the newest picture.
        m_wasActive = false;
        pthread_mutex_unlock(&m_outputMutex);
        return;
    }
    if (!m_wasActive) {
        m_pictures.Forget();
        m_wasActive = true;
    }
    const FeedFrame newest = m_feed.Newest();
    I420Picture picture;
    std::string problem;
    if (m_pictures.Make(newest, picture, problem)) {
        obs_source_frame2 frame = {};
        for (int plane = 0; plane < 3; ++plane) {
            frame.data[plane] = const_cast<uint8_t*>(picture.planes[plane]);
            frame.linesize[plane] = picture.strides[plane];
        }
        frame.width = static_cast<uint32_t>(picture.width);
        frame.height = static_cast<uint32_t>(picture.height);
        frame.timestamp = os_gettime_ns();
        frame.format = VIDEO_FORMAT_I420;
        // A JPEG's YCbCr: BT.601, full range.
        frame.range = VIDEO_RANGE_FULL;
        video_format_get_parameters(VIDEO_CS_601, VIDEO_RANGE_FULL, frame.color_matrix,
                                    frame.color_range_min, frame.color_range_max);
        obs_source_output_video2(m_source, &frame);

        if (!m_shownAny || picture.kind != m_shownKind)
            blog(LOG_INFO, "[Corvalink Camera] '%s': %s (%dx%d, %s)", SourceName(m_source),
                 picture.kind == FrameKind::Live ? "live" : "status picture", picture.width,
                 picture.height, cvl::host::StateText(newest.state));
        m_shownAny = true;
        m_shownKind = picture.kind;
    }
    // One line per run of bad frames.
    if (!problem.empty() && !m_reportedProblem)
        blog(LOG_WARNING,
             "[Corvalink Camera] '%s': a frame from the camera is %s; the waiting picture "
             "stands in for it and the like",
             SourceName(m_source), problem.c_str());
    if (problem.empty() && m_shownKind == FrameKind::Live)
        m_reportedProblem = false;
    else if (!problem.empty())
        m_reportedProblem = true;
    pthread_mutex_unlock(&m_outputMutex);
}

} // namespace cvl::obs
