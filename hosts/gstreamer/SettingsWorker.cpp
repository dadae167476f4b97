#include "SettingsWorker.h"

#include "CVLSettings.h"

#include <chrono>
#include <unistd.h>

namespace {

// How often a waiting change looks again.
constexpr useconds_t kPollMicroseconds = 50000;

bool NoCameraYet(const std::string& error) {
    return error.rfind("no camera connected", 0) == 0 ||
           error.rfind("the service is starting", 0) == 0;
}

} // namespace

SettingsWorker::SettingsWorker(Report report) : m_report(std::move(report)) {
    m_started = pthread_create(&m_thread, nullptr, &SettingsWorker::Run, this) == 0;
}

SettingsWorker::~SettingsWorker() {
    pthread_mutex_lock(&m_mutex);
    m_stop = true;
    pthread_cond_signal(&m_wake);
    pthread_mutex_unlock(&m_mutex);
    if (m_started)
        pthread_join(m_thread, nullptr);
    pthread_cond_destroy(&m_wake);
    pthread_mutex_destroy(&m_mutex);
}

void SettingsWorker::Set(const std::string& name, const std::string& value) {
    pthread_mutex_lock(&m_mutex);
    bool replaced = false;
    for (Change& change : m_changes) {
        if (!change.action && change.name == name) {
            change.value = value;
            replaced = true;
        }
    }
    if (!replaced)
        m_changes.push_back(Change{false, name, value});
    pthread_cond_signal(&m_wake);
    pthread_mutex_unlock(&m_mutex);
}

void SettingsWorker::Act(const std::string& action) {
    pthread_mutex_lock(&m_mutex);
    m_changes.push_back(Change{true, action, std::string()});
    pthread_cond_signal(&m_wake);
    pthread_mutex_unlock(&m_mutex);
}

void* SettingsWorker::Run(void* self) {
    static_cast<SettingsWorker*>(self)->Loop();
    return nullptr;
}

bool SettingsWorker::Stopping() {
    pthread_mutex_lock(&m_mutex);
    const bool stop = m_stop;
    pthread_mutex_unlock(&m_mutex);
    return stop;
}

void SettingsWorker::Loop() {
    for (;;) {
        pthread_mutex_lock(&m_mutex);
        while (!m_stop && m_changes.empty())
            pthread_cond_wait(&m_wake, &m_mutex);
        if (m_stop) {
            pthread_mutex_unlock(&m_mutex);
            return;
        }
        const Change change = m_changes.front();
        m_changes.pop_front();
        pthread_mutex_unlock(&m_mutex);

        std::string error;
        if (!Apply(change, error) && !Stopping())
            m_report(change.action ? change.name : change.name + " " + change.value, error);
    }
}

bool SettingsWorker::Apply(const Change& change, std::string& error) {
    CVLSettings settings;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    uint64_t ticket = 0;
    // The camera may not be there yet: the stream has only just started.
    while (ticket == 0) {
        ticket = change.action ? settings.SubmitAction(change.name, error)
                               : settings.SubmitSet(change.name, change.value, error);
        if (ticket != 0)
            break;
        if (!NoCameraYet(error) || std::chrono::steady_clock::now() >= deadline || Stopping())
            return false;
        usleep(kPollMicroseconds);
    }
    for (;;) {
        switch (settings.GetOutcome(ticket, error)) {
        case CVLSettings::Outcome::Done:
            return true;
        case CVLSettings::Outcome::Failed:
            return false;
        case CVLSettings::Outcome::Pending:
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline || Stopping()) {
            error = "the camera did not confirm the change in time";
            return false;
        }
        usleep(kPollMicroseconds);
    }
}
