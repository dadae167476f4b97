// Carries out a host's changes of the camera's settings on a thread of its
// own, so that the host's threads (a PipeWire loop, a GStreamer element's
// property setter, OBS's interface and render threads) never wait for the
// service or the camera. A change of a setting replaces one of the same
// setting still queued or waiting for the camera: the newest value wins.
// Actions run in order, a few at most. A change made before the camera is
// there waits for it a while. What the service or the camera refuses is
// handed, with the reason, to the host's report.
//
// A host that shows the settings (the camera node, the OBS source) also has
// the applier follow the service's change counter: it keeps a copy of the
// settings list, lists again when the counter moved (at once after a change
// of its own went through) and tells the host; the host reads the copy
// without waiting.
#ifndef CVLHOST_SETTINGSAPPLIER_H
#define CVLHOST_SETTINGSAPPLIER_H

#include "CVLSettings.h"

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cvl::host {

class SettingsApplier {
public:
    // Called on the applier's thread with what was asked ("iso 900",
    // "autofocus") and why it was not carried out.
    using Report = std::function<void(const std::string& change, const std::string& error)>;
    // Called on the applier's thread with the settings as listed now (empty
    // while no camera streams or no service runs) when they differ from
    // the last ones told, or when the host asked again (Retell).
    using Listener = std::function<void(const std::vector<CVLSetting>& settings)>;

    // How often the change counter is asked while following: a change on
    // the camera body shows within this time.
    static constexpr std::chrono::milliseconds kPollPeriod{500};
    // How long a change waits for the camera to come.
    static constexpr std::chrono::seconds kCameraWait{10};
    // A change the camera has not carried out by then is given up (the
    // service's own wait for a slow camera is shorter).
    static constexpr std::chrono::seconds kOutcomeLimit{30};
    // Actions queued at most; more are refused.
    static constexpr size_t kMaxActions = 4;

    // Follows the change counter when listener is set.
    explicit SettingsApplier(Report report, Listener listener = nullptr);
    // As Stop.
    ~SettingsApplier();
    SettingsApplier(const SettingsApplier&) = delete;
    SettingsApplier& operator=(const SettingsApplier&) = delete;

    // Starts the thread; false when it cannot be started.
    bool Start();
    // Ends the thread; changes still queued are dropped. Never call it from
    // the report or the listener.
    void Stop();

    // Queue a change; they return at once.
    void Set(const std::string& name, const std::string& value);
    // False with the reason in refusal when kMaxActions wait already.
    bool Act(const std::string& action, std::string& refusal);
    // The listener is called again with the settings as they are, changed
    // or not (a host shows the camera's values again after a refusal).
    void Retell();

    // The copy of the settings list as last told; empty when not following.
    std::vector<CVLSetting> Settings();

private:
    using Clock = std::chrono::steady_clock;
    struct Change {
        bool action = false;
        std::string name; // the setting, or the action's words
        std::string value;
        Clock::time_point since;
    };
    struct Waiting {
        uint64_t ticket;
        Change change;
    };

    static void* Run(void* self);
    void Loop();
    // Lists the settings when the counter moved or always; tells the
    // listener when they changed or told is set.
    void Refresh(bool always, bool tell);
    // Hands a change to the service; false when it is to be tried again
    // (the camera is not there yet).
    bool Submit(const Change& change);
    void CheckOutcomes();
    static std::string Describe(const Change& change);

    Report m_report;
    Listener m_listener;
    pthread_t m_thread{};
    bool m_started = false;

    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_wake;
    // Under m_mutex.
    bool m_stop = false;
    bool m_retell = false;
    std::vector<Change> m_queued;
    std::vector<CVLSetting> m_settings;

    // The thread's own.
    CVLSettings m_service;
    bool m_counterKnown = false;
    uint64_t m_counter = 0;
    bool m_refreshNow = false;
    std::vector<Change> m_retrying; // waiting for the camera to come
    std::vector<Waiting> m_waiting; // handed to the service
};

} // namespace cvl::host

#endif
