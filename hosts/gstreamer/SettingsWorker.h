// cvlsrc's camera settings changes, carried out on a thread of their own so
// that neither the application's thread (which sets a property) nor the
// streaming thread waits for the camera. A change of a setting replaces one
// of the same setting still waiting; actions run in order. A change made
// before the camera is there waits for it a while. What the camera or the
// service refuses is reported, with the reason, to a callback.
#ifndef CVL_HOSTS_GSTREAMER_SETTINGSWORKER_H
#define CVL_HOSTS_GSTREAMER_SETTINGSWORKER_H

#include <pthread.h>

#include <deque>
#include <functional>
#include <string>
#include <utility>

class SettingsWorker {
public:
    // Called on the worker's thread with what was asked ("iso 900",
    // "autofocus") and why it failed.
    using Report = std::function<void(const std::string& change, const std::string& error)>;

    // How long a change waits for the camera to come, and for it to confirm.
    static constexpr int kWaitMs = 10000;

    explicit SettingsWorker(Report report);
    // Stops the thread.
    ~SettingsWorker();
    SettingsWorker(const SettingsWorker&) = delete;
    SettingsWorker& operator=(const SettingsWorker&) = delete;

    void Set(const std::string& name, const std::string& value);
    void Act(const std::string& action);

private:
    struct Change {
        bool action;
        std::string name; // the setting, or the action's words
        std::string value;
    };

    static void* Run(void* self);
    void Loop();
    // Carries one change out; false with error set when it failed.
    bool Apply(const Change& change, std::string& error);
    bool Stopping();

    Report m_report;
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_wake = PTHREAD_COND_INITIALIZER;
    std::deque<Change> m_changes;
    bool m_stop = false;
    bool m_started = false;
    pthread_t m_thread{};
};

#endif
