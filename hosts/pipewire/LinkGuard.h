// Turns away a consumer that cannot take the format the node carries. While
// the node streams, PipeWire links a consumer that joins without asking the
// node, and a consumer whose formats do not include the one in use is handed
// that format anyway: it would read the buffers as something they are not.
// The guard sees every link of the node, compares the format the link
// carries with the formats the consumer's port offers, and destroys a link
// that has none in common. Until a new link is judged (and a refused one
// destroyed) the node sends nothing, so that such a consumer gets no buffer.
#ifndef CVL_HOSTS_PIPEWIRE_LINKGUARD_H
#define CVL_HOSTS_PIPEWIRE_LINKGUARD_H

#include <pipewire/pipewire.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace cvl::camera {

class LinkGuard {
public:
    using Clock = std::chrono::steady_clock;

    // A link not judged within this time no longer holds the node back.
    static constexpr std::chrono::milliseconds kJudgeLimit{2000};

    LinkGuard();
    ~LinkGuard();
    LinkGuard(const LinkGuard&) = delete;
    LinkGuard& operator=(const LinkGuard&) = delete;

    // Watches the links of stream's node. On the loop's thread.
    void Start(pw_core* core, pw_stream* stream);
    // Lets go of the registry and every proxy: before the core disconnects,
    // which destroys them. With the loop locked.
    void Stop();
    // True while a new link of the node waits to be judged (or, turned
    // away, to be destroyed).
    bool Judging(Clock::time_point now);

private:
    struct Check;

    static void OnGlobal(void* guard, uint32_t id, uint32_t permissions, const char* type,
                         uint32_t version, const spa_dict* props);
    static void OnGlobalRemove(void* guard, uint32_t id);
    static void OnDone(void* guard, uint32_t id, int seq);
    static void OnLinkInfo(void* check, const pw_link_info* info);
    static void OnPortParam(void* check, int seq, uint32_t id, uint32_t index, uint32_t next,
                            const spa_pod* param);

    void Judge(uint32_t link);
    void Refuse(std::map<uint32_t, std::unique_ptr<Check>>::iterator check);

    pw_core* m_core = nullptr;
    pw_stream* m_stream = nullptr;
    pw_registry* m_registry = nullptr;
    spa_hook m_registryListener{};
    spa_hook m_coreListener{};
    std::map<uint32_t, std::unique_ptr<Check>> m_checks;
};

} // namespace cvl::camera

#endif
