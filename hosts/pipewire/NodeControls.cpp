#include "NodeControls.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace cvl::camera {

namespace {

// How often the change counter is asked: a change on the camera body shows
// on the node within this time.
constexpr std::chrono::milliseconds kPollPeriod{500};
// How often a queued change's outcome is asked while one waits.
constexpr std::chrono::milliseconds kOutcomePeriod{50};
// A change the camera has not carried out by then is given up (the
// service's own wait for a slow camera is shorter).
constexpr std::chrono::seconds kOutcomeLimit{30};
// Actions from the node waiting to be handed to the service.
constexpr size_t kMaxPendingActions = 4;
// Refusals less than this apart belong to one burst, logged once.
constexpr std::chrono::seconds kRefusalQuiet{1};
// Room for every PropInfo (the longest lists have a few dozen choices).
constexpr size_t kParamBytes = 64 * 1024;

timespec Deadline(std::chrono::milliseconds wait) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t nanoseconds = now.tv_nsec + static_cast<int64_t>(wait.count()) * 1000000;
    now.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    now.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return now;
}

std::string Describe(const ControlWrite& write) {
    return write.action ? write.value : write.name + " " + write.value;
}

} // namespace

NodeControls::NodeControls() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_wake, &attributes);
    pthread_condattr_destroy(&attributes);
}

NodeControls::~NodeControls() {
    Stop();
    pthread_cond_destroy(&m_wake);
}

bool NodeControls::Start(pw_thread_loop* loop, pw_stream* stream) {
    m_loop = loop;
    m_stream = stream;
    m_started = pthread_create(&m_thread, nullptr, &NodeControls::Run, this) == 0;
    if (!m_started)
        std::fprintf(stderr, "cvl-camera: cannot start the camera settings thread; the node "
                             "carries no settings\n");
    return m_started;
}

void NodeControls::Stop() {
    if (!m_started)
        return;
    pthread_mutex_lock(&m_mutex);
    m_stop = true;
    pthread_cond_signal(&m_wake);
    pthread_mutex_unlock(&m_mutex);
    pthread_join(m_thread, nullptr);
    m_started = false;
}

void* NodeControls::Run(void* self) {
    static_cast<NodeControls*>(self)->Follow();
    return nullptr;
}

void NodeControls::Follow() {
    auto nextPoll = Clock::now();
    pthread_mutex_lock(&m_mutex);
    while (!m_stop) {
        const auto now = Clock::now();
        if (now >= nextPoll || m_refreshNow) {
            m_refreshNow = false;
            pthread_mutex_unlock(&m_mutex);
            Refresh();
            pthread_mutex_lock(&m_mutex);
            nextPoll = Clock::now() + kPollPeriod;
        }
        if (m_republish) {
            m_republish = false;
            const bool empty = m_table.Empty();
            pthread_mutex_unlock(&m_mutex);
            if (!empty)
                Publish();
            pthread_mutex_lock(&m_mutex);
        }
        std::vector<ControlWrite> pending;
        pending.swap(m_pending);
        if (!pending.empty() || !m_waiting.empty()) {
            pthread_mutex_unlock(&m_mutex);
            for (const ControlWrite& write : pending)
                Submit(write);
            CheckOutcomes();
            pthread_mutex_lock(&m_mutex);
        }
        if (m_stop || m_refreshNow || m_republish || !m_pending.empty())
            continue;
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - Clock::now());
        if (!m_waiting.empty())
            wait = std::min(wait, kOutcomePeriod);
        if (wait.count() > 0) {
            const timespec deadline = Deadline(wait);
            pthread_cond_timedwait(&m_wake, &m_mutex, &deadline);
        }
    }
    pthread_mutex_unlock(&m_mutex);
}

void NodeControls::Refresh() {
    uint64_t counter = 0;
    if (!m_settings.Changes(counter)) {
        // No service: the next one starts its counter over.
        m_counterKnown = false;
        return;
    }
    if (m_counterKnown && counter == m_counter)
        return;
    std::vector<CVLSetting> settings;
    std::string error;
    if (!m_settings.List(settings, error))
        settings.clear();
    m_counter = counter;
    m_counterKnown = true;
    // While no camera streams the last camera's settings stay on the node:
    // a write then is refused by the service and logged.
    if (settings.empty())
        return;
    pthread_mutex_lock(&m_mutex);
    const bool changed = m_table.Update(settings);
    pthread_mutex_unlock(&m_mutex);
    if (changed)
        Publish();
}

void NodeControls::Publish() {
    std::vector<uint8_t> memory(kParamBytes);
    spa_pod_builder builder =
        SPA_POD_BUILDER_INIT(memory.data(), static_cast<uint32_t>(memory.size()));
    std::vector<const spa_pod*> params;
    pthread_mutex_lock(&m_mutex);
    const bool built = m_table.Build(builder, params);
    pthread_mutex_unlock(&m_mutex);
    if (!built) {
        std::fprintf(stderr, "cvl-camera: the camera's settings do not fit the node's params; "
                             "they are not published\n");
        return;
    }
    pw_thread_loop_lock(m_loop);
    pw_stream_update_params(m_stream, params.data(), static_cast<uint32_t>(params.size()));
    pw_thread_loop_unlock(m_loop);
}

void NodeControls::Write(const spa_pod* props) {
    if (!props)
        return; // a Props write without a value: nothing to change
    std::vector<ControlWrite> writes;
    std::vector<std::string> refusals;
    pthread_mutex_lock(&m_mutex);
    m_table.Read(props, writes, refusals);
    for (const ControlWrite& write : writes) {
        // The newest value of a setting wins; actions queue, a few at most.
        auto same = std::find_if(m_pending.begin(), m_pending.end(), [&](const ControlWrite& o) {
            return !write.action && !o.action && o.name == write.name;
        });
        if (same != m_pending.end()) {
            *same = write;
        } else if (write.action && std::count_if(m_pending.begin(), m_pending.end(),
                                                 [](const ControlWrite& o) { return o.action; }) >=
                                       static_cast<long>(kMaxPendingActions)) {
            refusals.push_back(write.value + ": too many camera actions waiting");
        } else {
            m_pending.push_back(write);
        }
    }
    for (const std::string& reason : refusals)
        RefusedLocked(reason);
    if (!writes.empty())
        pthread_cond_signal(&m_wake);
    pthread_mutex_unlock(&m_mutex);
}

void NodeControls::Submit(const ControlWrite& write) {
    std::string error;
    const uint64_t ticket = write.action ? m_settings.SubmitAction(write.value, error)
                                         : m_settings.SubmitSet(write.name, write.value, error);
    if (ticket == 0) {
        Refused(Describe(write) + ": " + error);
        return;
    }
    // A newer value of the same setting replaces the one waiting.
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                   [&](const Waiting& w) {
                                       return !write.action && !w.write.action &&
                                              w.write.name == write.name;
                                   }),
                    m_waiting.end());
    m_waiting.push_back({ticket, write, Clock::now()});
}

void NodeControls::CheckOutcomes() {
    bool done = false;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        std::string error;
        const CVLSettings::Outcome outcome = m_settings.GetOutcome(it->ticket, error);
        if (outcome == CVLSettings::Outcome::Pending && Clock::now() - it->since < kOutcomeLimit) {
            ++it;
            continue;
        }
        if (outcome == CVLSettings::Outcome::Done)
            done = true;
        else
            Refused(
                Describe(it->write) + ": " +
                (outcome == CVLSettings::Outcome::Failed ? error : "the camera did not answer"));
        it = m_waiting.erase(it);
    }
    if (done) {
        // The camera has the value: the node shows it now, not at the
        // next poll.
        pthread_mutex_lock(&m_mutex);
        m_refreshNow = true;
        pthread_mutex_unlock(&m_mutex);
    }
}

void NodeControls::RefusedLocked(const std::string& reason) {
    const auto now = Clock::now();
    const bool newBurst = !m_inRefusalBurst || now - m_lastRefusal >= kRefusalQuiet;
    m_inRefusalBurst = true;
    m_lastRefusal = now;
    m_republish = true;
    pthread_cond_signal(&m_wake);
    if (newBurst)
        std::fprintf(stderr,
                     "cvl-camera: a camera setting written on the node was not applied: %s "
                     "(said once per burst)\n",
                     reason.c_str());
}

void NodeControls::Refused(const std::string& reason) {
    pthread_mutex_lock(&m_mutex);
    RefusedLocked(reason);
    pthread_mutex_unlock(&m_mutex);
}

} // namespace cvl::camera
