#include "NodeControls.h"

#include <cstdio>

namespace cvl::camera {

namespace {

// Refusals less than this apart belong to one burst, logged once.
constexpr std::chrono::seconds kRefusalQuiet{1};
// Room for every PropInfo (the longest lists have a few dozen choices).
constexpr size_t kParamBytes = 64 * 1024;

} // namespace

NodeControls::NodeControls()
    : m_applier([this](const std::string& change,
                       const std::string& error) { Refused(change + ": " + error); },
                [this](const std::vector<CVLSetting>& settings) { Show(settings); }) {}

NodeControls::~NodeControls() {
    Stop();
    pthread_mutex_destroy(&m_mutex);
}

bool NodeControls::Start(pw_thread_loop* loop, pw_stream* stream) {
    m_loop = loop;
    m_stream = stream;
    const bool started = m_applier.Start();
    if (!started)
        std::fprintf(stderr, "cvl-camera: cannot start the camera settings thread; the node "
                             "carries no settings\n");
    return started;
}

void NodeControls::Stop() {
    m_applier.Stop();
}

void NodeControls::Show(const std::vector<CVLSetting>& settings) {
    pthread_mutex_lock(&m_mutex);
    // While no camera streams the last camera's settings stay on the node:
    // a write then is refused by the service and logged.
    const bool changed = !settings.empty() && m_table.Update(settings);
    const bool again = m_republish;
    m_republish = false;
    const bool empty = m_table.Empty();
    pthread_mutex_unlock(&m_mutex);
    if ((changed || again) && !empty)
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
        std::string refusal;
        if (!write.action)
            m_applier.Set(write.name, write.value);
        else if (!m_applier.Act(write.value, refusal))
            refusals.push_back(write.value + ": " + refusal);
    }
    for (const std::string& reason : refusals)
        RefusedLocked(reason);
    pthread_mutex_unlock(&m_mutex);
}

void NodeControls::RefusedLocked(const std::string& reason) {
    const auto now = Clock::now();
    const bool newBurst = !m_inRefusalBurst || now - m_lastRefusal >= kRefusalQuiet;
    m_inRefusalBurst = true;
    m_lastRefusal = now;
    m_republish = true;
    m_applier.Retell();
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
