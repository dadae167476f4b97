// One "Corvalink Camera" source in OBS: an asynchronous video source that
// shows the camera's newest frame. It holds the process's shared client
// stream while OBS shows it (activate) and for a linger time after
// (deactivate), so that the camera's live view is off while OBS does not use
// it. Frames are decoded and handed to OBS on the feed's own thread, and the
// camera's settings are changed and followed on the settings applier's:
// OBS's render and UI threads only set flags and queue changes here and
// never wait for the service.
#ifndef CVL_HOSTS_OBS_CAMERASOURCE_H
#define CVL_HOSTS_OBS_CAMERASOURCE_H

#include "SourcePictures.h"

#include "cvlhost/FrameFeed.h"
#include "cvlhost/SettingsApplier.h"

#include <obs-module.h>

#include <pthread.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace cvl::obs {

class CameraSource {
public:
    CameraSource(obs_source_t* source, obs_data_t* settings);
    // Ends the feed's thread, which leaves the stream: the last holder in the
    // process ends it, which may wait for a hanging service. OBS's threads
    // hand this to SourceRetirer.
    ~CameraSource();
    CameraSource(const CameraSource&) = delete;
    CameraSource& operator=(const CameraSource&) = delete;

    // The settings changed (the linger time, the camera's settings).
    void Update(obs_data_t* settings);
    // OBS shows the source now (a scene on the program, a projector), or
    // no longer.
    void Activate();
    void Deactivate();
    // No frame reaches OBS after it returns: OBS destroys the source.
    void Close();

    // Why the source shows what it shows, for the properties.
    cvl::host::StreamState State();
    // The camera's settings as last listed, without waiting.
    std::vector<CVLSetting> CameraSettings();
    // Queues an action ("autofocus", "focus near 2", "zoom 5").
    void Act(const std::string& action);

    // The properties' names and defaults.
    static constexpr const char* kLingerSetting = "linger_seconds";
    static constexpr int kDefaultLingerSeconds = 3;

private:
    struct SettingsTask;

    static void OnFeed(void* source);
    // On the applier's thread: the camera's settings changed.
    void OnSettings(const std::vector<CVLSetting>& settings);
    // On OBS's graphics thread, where OBS calls Update too.
    static void ShowSettings(void* task);
    void WriteValues(const std::vector<CVLSetting>& settings);
    // On the feed's thread: hands OBS the picture for the newest frame.
    void Show();

    obs_source_t* m_source;
    // For the applier's thread, which may outlive m_source.
    obs_weak_source_t* m_weakSource;

    // Guards m_active, m_linger and m_known.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_active = false;
    std::chrono::milliseconds m_linger;
    // The camera's settings in the source's settings data as the camera
    // last had them or the user last asked for them: a value that differs
    // is the user's change, to be carried out; one that does not may be
    // replaced by the camera's.
    std::map<std::string, std::string> m_known;

    cvl::host::SettingsApplier m_applier;

    // Held while a picture is made and handed over, and while closing.
    pthread_mutex_t m_outputMutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_closed = false;
    bool m_wasActive = false;
    cvl::host::FrameKind m_shownKind = cvl::host::FrameKind::Error;
    bool m_shownAny = false;
    bool m_reportedProblem = false;
    SourcePictures m_pictures;

    // Last: its thread starts once everything above is made.
    cvl::host::FrameFeed m_feed;
};

} // namespace cvl::obs

#endif
