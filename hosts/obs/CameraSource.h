// One "Corvalink Camera" source in OBS: an asynchronous video source that
// shows the camera's newest frame. It holds the process's shared client
// stream while OBS shows it (activate) and for a linger time after
// (deactivate), so that the camera's live view is off while OBS does not use
// it. Frames are decoded and handed to OBS on the feed's own thread: OBS's
// render and UI threads only set flags here and never wait for the service.
#ifndef CVL_HOSTS_OBS_CAMERASOURCE_H
#define CVL_HOSTS_OBS_CAMERASOURCE_H

#include "SourcePictures.h"

#include "cvlhost/FrameFeed.h"

#include <obs-module.h>

#include <pthread.h>

#include <chrono>

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

    // The settings changed (the linger time).
    void Update(obs_data_t* settings);
    // OBS shows the source now (a scene on the program, a projector), or
    // no longer.
    void Activate();
    void Deactivate();
    // No frame reaches OBS after it returns: OBS destroys the source.
    void Close();

    // Why the source shows what it shows, for the properties.
    cvl::host::StreamState State();

    // The properties' names and defaults.
    static constexpr const char* kLingerSetting = "linger_seconds";
    static constexpr int kDefaultLingerSeconds = 3;

private:
    static void OnFeed(void* source);
    // On the feed's thread: hands OBS the picture for the newest frame.
    void Show();

    obs_source_t* m_source;

    // Guards m_active and m_linger.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_active = false;
    std::chrono::milliseconds m_linger;

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
