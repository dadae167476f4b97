#include "CameraSource.h"

#include "SourceProperties.h"

#include <util/platform.h>

#include <memory>
#include <new>

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

// Calls use(name, value) for each of the camera's settings in settings.
template <typename Use> void ForEachCameraSetting(obs_data_t* settings, Use use) {
    for (obs_data_item_t* item = obs_data_first(settings); item; obs_data_item_next(&item)) {
        const char* name = obs_data_item_get_name(item);
        if (obs_data_item_gettype(item) == OBS_DATA_STRING && name && IsCameraSetting(name)) {
            const char* value = obs_data_item_get_string(item);
            if (value && *value)
                use(std::string(name), std::string(value));
        }
    }
}

void ReportRefusal(const std::string& change, const std::string& error) {
    blog(LOG_WARNING, "[Corvalink Camera] the camera did not take \"%s\": %s", change.c_str(),
         error.c_str());
}

} // namespace

// A task for OBS's graphics thread: the camera's settings to show, and the
// source, held until then.
struct CameraSource::SettingsTask {
    obs_source_t* source;
    std::vector<CVLSetting> settings;
};

CameraSource::CameraSource(obs_source_t* source, obs_data_t* settings)
    : m_source(source), m_weakSource(obs_source_get_weak_source(source)),
      m_linger(LingerOf(settings)),
      m_applier(
          [this](const std::string& change, const std::string& error) {
              ReportRefusal(change, error);
              // The properties show the camera's value again.
              m_applier.Retell();
          },
          [this](const std::vector<CVLSetting>& list) { OnSettings(list); }),
      m_feed(&CameraSource::OnFeed, this) {
    // Values kept with a scene collection are the camera's of back then:
    // the camera's own values of now replace them, not the other way.
    ForEachCameraSetting(settings, [&](const std::string& name, const std::string& value) {
        m_known[name] = value;
    });
    if (!m_applier.Start())
        blog(LOG_ERROR,
             "[Corvalink Camera] '%s': cannot start the settings thread; the source shows no "
             "camera settings",
             SourceName(source));
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
    m_applier.Stop();
    obs_weak_source_release(m_weakSource);
    m_feed.Shutdown();
    pthread_mutex_destroy(&m_outputMutex);
    pthread_mutex_destroy(&m_mutex);
}

void CameraSource::Update(obs_data_t* settings) {
    pthread_mutex_lock(&m_mutex);
    m_linger = LingerOf(settings);
    ForEachCameraSetting(settings, [&](const std::string& name, const std::string& value) {
        std::string& known = m_known[name];
        if (known != value) {
            known = value;
            m_applier.Set(name, value);
        }
    });
    pthread_mutex_unlock(&m_mutex);
}

std::vector<CVLSetting> CameraSource::CameraSettings() {
    return m_applier.Settings();
}

void CameraSource::Act(const std::string& action) {
    std::string refusal;
    if (!m_applier.Act(action, refusal))
        ReportRefusal(action, refusal);
}

void CameraSource::OnSettings(const std::vector<CVLSetting>& settings) {
    // Null once OBS has begun to destroy the source.
    obs_source_t* source = obs_weak_source_get_source(m_weakSource);
    if (!source)
        return;
    auto* task = new (std::nothrow) SettingsTask{source, settings};
    if (!task) {
        obs_source_release(source);
        return;
    }
    obs_queue_task(OBS_TASK_GRAPHICS, &CameraSource::ShowSettings, task, false);
}

void CameraSource::ShowSettings(void* param) {
    std::unique_ptr<SettingsTask> task(static_cast<SettingsTask*>(param));
    // Held by the task, the source is not destroyed: its data is there
    // (null only while it is still being made).
    if (auto* self = static_cast<CameraSource*>(obs_obj_get_data(task->source)))
        self->WriteValues(task->settings);
    obs_source_update_properties(task->source);
    obs_source_release(task->source);
}

void CameraSource::WriteValues(const std::vector<CVLSetting>& settings) {
    obs_data_t* data = obs_source_get_settings(m_source);
    pthread_mutex_lock(&m_mutex);
    for (const CVLSetting& setting : settings) {
        if (!IsCameraSetting(setting.name.c_str()))
            continue;
        const std::string current = obs_data_get_string(data, setting.name.c_str());
        auto known = m_known.find(setting.name);
        // A value the user changed, whose update is still on its way,
        // stays.
        if (known != m_known.end() && known->second != current)
            continue;
        if (current != setting.value)
            obs_data_set_string(data, setting.name.c_str(), setting.value.c_str());
        m_known[setting.name] = setting.value;
    }
    pthread_mutex_unlock(&m_mutex);
    obs_data_release(data);
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
