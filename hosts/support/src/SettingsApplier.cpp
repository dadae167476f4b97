#include "cvlhost/SettingsApplier.h"

#include <algorithm>
#include <ctime>

namespace cvl::host {

namespace {

// How often the outcome of a change is asked, and a change that waits for
// the camera tried again.
constexpr std::chrono::milliseconds kOutcomePeriod{50};

timespec Deadline(std::chrono::milliseconds wait) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t nanoseconds = now.tv_nsec + static_cast<int64_t>(wait.count()) * 1000000;
    now.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    now.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return now;
}

bool NoCameraYet(const std::string& error) {
    return error.rfind("no camera connected", 0) == 0 ||
           error.rfind("the service is starting", 0) == 0;
}

bool Same(const std::vector<CVLSetting>& a, const std::vector<CVLSetting>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const CVLSetting& x, const CVLSetting& y) {
                          return x.name == y.name && x.value == y.value && x.allowed == y.allowed;
                      });
}

} // namespace

SettingsApplier::SettingsApplier(Report report, Listener listener)
    : m_report(std::move(report)), m_listener(std::move(listener)) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_wake, &attributes);
    pthread_condattr_destroy(&attributes);
}

SettingsApplier::~SettingsApplier() {
    Stop();
    pthread_cond_destroy(&m_wake);
    pthread_mutex_destroy(&m_mutex);
}

bool SettingsApplier::Start() {
    if (!m_started) {
        m_stop = false;
        m_started = pthread_create(&m_thread, nullptr, &SettingsApplier::Run, this) == 0;
    }
    return m_started;
}

void SettingsApplier::Stop() {
    if (!m_started)
        return;
    pthread_mutex_lock(&m_mutex);
    m_stop = true;
    pthread_cond_signal(&m_wake);
    pthread_mutex_unlock(&m_mutex);
    pthread_join(m_thread, nullptr);
    m_started = false;
}

void SettingsApplier::Set(const std::string& name, const std::string& value) {
    pthread_mutex_lock(&m_mutex);
    auto same = std::find_if(m_queued.begin(), m_queued.end(),
                             [&](const Change& c) { return !c.action && c.name == name; });
    if (same != m_queued.end())
        same->value = value;
    else
        m_queued.push_back(Change{false, name, value, Clock::now()});
    pthread_cond_signal(&m_wake);
    pthread_mutex_unlock(&m_mutex);
}

bool SettingsApplier::Act(const std::string& action, std::string& refusal) {
    pthread_mutex_lock(&m_mutex);
    const bool room =
        static_cast<size_t>(std::count_if(m_queued.begin(), m_queued.end(),
                                          [](const Change& c) { return c.action; })) < kMaxActions;
    if (room) {
        m_queued.push_back(Change{true, action, std::string(), Clock::now()});
        pthread_cond_signal(&m_wake);
    } else {
        refusal = "too many camera actions waiting";
    }
    pthread_mutex_unlock(&m_mutex);
    return room;
}

void SettingsApplier::Retell() {
    if (!m_listener)
        return;
    pthread_mutex_lock(&m_mutex);
    m_retell = true;
    pthread_cond_signal(&m_wake);
    pthread_mutex_unlock(&m_mutex);
}

std::vector<CVLSetting> SettingsApplier::Settings() {
    pthread_mutex_lock(&m_mutex);
    std::vector<CVLSetting> settings = m_settings;
    pthread_mutex_unlock(&m_mutex);
    return settings;
}

void* SettingsApplier::Run(void* self) {
    static_cast<SettingsApplier*>(self)->Loop();
    return nullptr;
}

void SettingsApplier::Loop() {
    const bool following = static_cast<bool>(m_listener);
    auto nextPoll = Clock::now();
    pthread_mutex_lock(&m_mutex);
    while (!m_stop) {
        if (following && (Clock::now() >= nextPoll || m_refreshNow || m_retell)) {
            const bool tell = m_retell;
            const bool always = m_refreshNow;
            m_retell = false;
            m_refreshNow = false;
            pthread_mutex_unlock(&m_mutex);
            Refresh(always, tell);
            pthread_mutex_lock(&m_mutex);
            nextPoll = Clock::now() + kPollPeriod;
        }
        std::vector<Change> queued;
        queued.swap(m_queued);
        if (!queued.empty() || !m_retrying.empty() || !m_waiting.empty()) {
            pthread_mutex_unlock(&m_mutex);
            for (Change& change : queued) {
                // The newest value replaces one still waiting for the camera.
                auto same =
                    std::find_if(m_retrying.begin(), m_retrying.end(), [&](const Change& c) {
                        return !change.action && !c.action && c.name == change.name;
                    });
                if (same != m_retrying.end())
                    *same = change;
                else if (change.action &&
                         static_cast<size_t>(std::count_if(
                             m_retrying.begin(), m_retrying.end(),
                             [](const Change& c) { return c.action; })) >= kMaxActions)
                    m_report(Describe(change), "too many camera actions waiting");
                else
                    m_retrying.push_back(change);
            }
            // In order: once one waits for the camera, those after it wait too.
            auto next = m_retrying.begin();
            while (next != m_retrying.end() && Submit(*next))
                ++next;
            m_retrying.erase(m_retrying.begin(), next);
            CheckOutcomes();
            pthread_mutex_lock(&m_mutex);
        }
        if (m_stop || m_retell || m_refreshNow || !m_queued.empty())
            continue;
        const bool busy = !m_retrying.empty() || !m_waiting.empty();
        if (!following && !busy) {
            pthread_cond_wait(&m_wake, &m_mutex);
            continue;
        }
        auto wait =
            following
                ? std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - Clock::now())
                : kOutcomePeriod;
        if (busy)
            wait = std::min(wait, kOutcomePeriod);
        if (wait.count() > 0) {
            const timespec deadline = Deadline(wait);
            pthread_cond_timedwait(&m_wake, &m_mutex, &deadline);
        }
    }
    pthread_mutex_unlock(&m_mutex);
}

void SettingsApplier::Refresh(bool always, bool tell) {
    std::vector<CVLSetting> settings;
    uint64_t counter = 0;
    if (!m_service.Changes(counter)) {
        // No service: the next one starts its counter over.
        m_counterKnown = false;
    } else if (!always && m_counterKnown && counter == m_counter) {
        if (!tell)
            return;
        settings = Settings();
    } else {
        std::string error;
        if (!m_service.List(settings, error))
            settings.clear();
        m_counter = counter;
        m_counterKnown = true;
    }
    pthread_mutex_lock(&m_mutex);
    const bool changed = !Same(settings, m_settings);
    if (changed)
        m_settings = settings;
    pthread_mutex_unlock(&m_mutex);
    if (changed || tell)
        m_listener(settings);
}

bool SettingsApplier::Submit(const Change& change) {
    std::string error;
    const uint64_t ticket = change.action ? m_service.SubmitAction(change.name, error)
                                          : m_service.SubmitSet(change.name, change.value, error);
    if (ticket == 0) {
        // The camera may not be there yet: the stream has only just started.
        if (NoCameraYet(error) && Clock::now() - change.since < kCameraWait)
            return false;
        m_report(Describe(change), error);
        return true;
    }
    // The service drops the older value of the same setting; so does this.
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                   [&](const Waiting& w) {
                                       return !change.action && !w.change.action &&
                                              w.change.name == change.name;
                                   }),
                    m_waiting.end());
    m_waiting.push_back({ticket, change});
    return true;
}

void SettingsApplier::CheckOutcomes() {
    const bool following = static_cast<bool>(m_listener);
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        std::string error;
        const CVLSettings::Outcome outcome = m_service.GetOutcome(it->ticket, error);
        if (outcome == CVLSettings::Outcome::Pending &&
            Clock::now() - it->change.since < kOutcomeLimit) {
            ++it;
            continue;
        }
        if (outcome == CVLSettings::Outcome::Done)
            // The camera has the value: a host that follows the settings
            // shows it now, not at the next poll.
            m_refreshNow = following;
        else
            m_report(Describe(it->change), outcome == CVLSettings::Outcome::Failed
                                               ? error
                                               : "the camera did not confirm the change in time");
        it = m_waiting.erase(it);
    }
}

std::string SettingsApplier::Describe(const Change& change) {
    return change.action ? change.name : change.name + " " + change.value;
}

} // namespace cvl::host
