#include "LinkGuard.h"

#include <spa/pod/filter.h>
#include <spa/utils/result.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace cvl::camera {

namespace {

std::vector<uint8_t> CopyPod(const spa_pod* pod) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(pod);
    return std::vector<uint8_t>(bytes, bytes + SPA_POD_SIZE(pod));
}

const spa_pod* AsPod(const std::vector<uint8_t>& bytes) {
    return reinterpret_cast<const spa_pod*>(bytes.data());
}

uint32_t DictId(const spa_dict* props, const char* key) {
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    if (!value || !*value)
        return SPA_ID_INVALID;
    char* end = nullptr;
    const unsigned long id = std::strtoul(value, &end, 10);
    return *end == '\0' ? static_cast<uint32_t>(id) : SPA_ID_INVALID;
}

} // namespace

struct LinkGuard::Check {
    LinkGuard* guard = nullptr;
    uint32_t link = SPA_ID_INVALID;
    Clock::time_point since;
    pw_proxy* linkProxy = nullptr;
    pw_proxy* portProxy = nullptr;
    spa_hook linkListener{};
    spa_hook portListener{};
    int portSeq = 0;
    bool portDone = false;
    std::vector<std::vector<uint8_t>> offered;
    std::vector<uint8_t> format;
    pw_link_state state = PW_LINK_STATE_INIT;
    // Judged to have no format in common with the node.
    bool refused = false;

    ~Check() {
        // A listener is in a list only once it was added.
        if (linkListener.link.next)
            spa_hook_remove(&linkListener);
        if (portListener.link.next)
            spa_hook_remove(&portListener);
        if (linkProxy)
            pw_proxy_destroy(linkProxy);
        if (portProxy)
            pw_proxy_destroy(portProxy);
    }
};

LinkGuard::LinkGuard() = default;
LinkGuard::~LinkGuard() = default;

void LinkGuard::Stop() {
    m_checks.clear();
    if (m_registry) {
        spa_hook_remove(&m_registryListener);
        spa_hook_remove(&m_coreListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m_registry));
        m_registry = nullptr;
    }
}

void LinkGuard::Start(pw_core* core, pw_stream* stream) {
    m_core = core;
    m_stream = stream;
    m_registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    if (!m_registry) {
        std::fprintf(stderr, "cvl-camera: cannot watch the node's links; a consumer of another "
                             "format than the one in use is not turned away\n");
        return;
    }
    static const pw_registry_events registryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = &LinkGuard::OnGlobal;
        events.global_remove = &LinkGuard::OnGlobalRemove;
        return events;
    }();
    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.done = &LinkGuard::OnDone;
        return events;
    }();
    pw_registry_add_listener(m_registry, &m_registryListener, &registryEvents, this);
    pw_core_add_listener(core, &m_coreListener, &coreEvents, this);
}

bool LinkGuard::Judging(Clock::time_point now) {
    bool judging = false;
    for (auto entry = m_checks.begin(); entry != m_checks.end();) {
        auto next = std::next(entry);
        if (now - entry->second->since < kJudgeLimit)
            judging = true;
        else if (entry->second->refused)
            Refuse(entry); // it never got set up
        entry = next;
    }
    return judging;
}

void LinkGuard::OnGlobal(void* guard, uint32_t id, uint32_t, const char* type, uint32_t,
                         const spa_dict* props) {
    auto* self = static_cast<LinkGuard*>(guard);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0)
        return;
    const uint32_t node = pw_stream_get_node_id(self->m_stream);
    if (node == SPA_ID_INVALID || DictId(props, PW_KEY_LINK_OUTPUT_NODE) != node)
        return;
    const uint32_t port = DictId(props, PW_KEY_LINK_INPUT_PORT);
    if (port == SPA_ID_INVALID)
        return;

    auto check = std::make_unique<Check>();
    check->guard = self;
    check->link = id;
    check->since = Clock::now();
    static const pw_link_events linkEvents = [] {
        pw_link_events events{};
        events.version = PW_VERSION_LINK_EVENTS;
        events.info = &LinkGuard::OnLinkInfo;
        return events;
    }();
    static const pw_port_events portEvents = [] {
        pw_port_events events{};
        events.version = PW_VERSION_PORT_EVENTS;
        events.param = &LinkGuard::OnPortParam;
        return events;
    }();
    check->linkProxy = static_cast<pw_proxy*>(
        pw_registry_bind(self->m_registry, id, PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, 0));
    check->portProxy = static_cast<pw_proxy*>(
        pw_registry_bind(self->m_registry, port, PW_TYPE_INTERFACE_Port, PW_VERSION_PORT, 0));
    if (!check->linkProxy || !check->portProxy)
        return; // the check's end releases what was bound
    pw_proxy_add_object_listener(check->linkProxy, &check->linkListener, &linkEvents, check.get());
    pw_proxy_add_object_listener(check->portProxy, &check->portListener, &portEvents, check.get());
    pw_port_enum_params(reinterpret_cast<pw_port*>(check->portProxy), 0, SPA_PARAM_EnumFormat, 0,
                        UINT32_MAX, nullptr);
    check->portSeq = pw_core_sync(self->m_core, PW_ID_CORE, 0);
    self->m_checks[id] = std::move(check);
}

void LinkGuard::OnGlobalRemove(void* guard, uint32_t id) {
    static_cast<LinkGuard*>(guard)->m_checks.erase(id);
}

void LinkGuard::OnDone(void* guard, uint32_t id, int seq) {
    auto* self = static_cast<LinkGuard*>(guard);
    if (id != PW_ID_CORE)
        return;
    for (auto& entry : self->m_checks) {
        if (entry.second->portSeq == seq) {
            entry.second->portDone = true;
            self->Judge(entry.first);
            return;
        }
    }
}

void LinkGuard::OnLinkInfo(void* data, const pw_link_info* info) {
    auto* check = static_cast<Check*>(data);
    check->state = info->state;
    if (info->format && check->format.empty())
        check->format = CopyPod(info->format);
    check->guard->Judge(check->link);
}

void LinkGuard::OnPortParam(void* data, int, uint32_t id, uint32_t, uint32_t,
                            const spa_pod* param) {
    auto* check = static_cast<Check*>(data);
    if (id == SPA_PARAM_EnumFormat && param)
        check->offered.push_back(CopyPod(param));
}

void LinkGuard::Judge(uint32_t link) {
    auto found = m_checks.find(link);
    if (found == m_checks.end())
        return;
    Check& check = *found->second;
    if (!check.portDone || check.format.empty())
        return;
    if (!check.refused) {
        // A port that offers no formats takes whatever it is given.
        bool common = check.offered.empty();
        for (const auto& offered : check.offered) {
            uint8_t buffer[4096];
            spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
            spa_pod* result = nullptr;
            if (spa_pod_filter(&builder, &result, AsPod(offered), AsPod(check.format)) >= 0) {
                common = true;
                break;
            }
        }
        if (common) {
            m_checks.erase(found);
            return;
        }
        check.refused = true;
    }
    // The link is destroyed once it is active: a consumer that checks the
    // format it is handed (GStreamer's pipewiresrc) has started by then and
    // fails at once, where a link destroyed earlier leaves it waiting for
    // its start until its own timeout. The node sends nothing meanwhile.
    if (check.state == PW_LINK_STATE_ACTIVE)
        Refuse(found);
    else if (check.state == PW_LINK_STATE_ERROR)
        m_checks.erase(found); // it carries nothing, and its consumer is told
}

void LinkGuard::Refuse(std::map<uint32_t, std::unique_ptr<Check>>::iterator found) {
    const uint32_t link = found->first;
    std::fprintf(stderr,
                 "cvl-camera: a consumer that cannot take the format in use linked to the node; "
                 "its link %u is refused\n",
                 link);
    // The proxies go first: the link's would outlive its object.
    m_checks.erase(found);
    pw_registry_destroy(m_registry, link);
}

} // namespace cvl::camera
