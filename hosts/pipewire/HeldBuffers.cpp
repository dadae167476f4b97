#include "HeldBuffers.h"

#include <spa/buffer/meta.h>

#include <cerrno>
#include <cstdint>

namespace cvl::camera {

namespace {

// The hold count is shared with the consumers' processes and changed there
// with atomic operations.
uint32_t Load(const spa_meta_busy* busy) {
    return __atomic_load_n(&busy->count, __ATOMIC_SEQ_CST);
}

bool Replace(spa_meta_busy* busy, uint32_t expected, uint32_t wanted) {
    return __atomic_compare_exchange_n(&busy->count, &expected, wanted, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

// A count above this went below zero.
constexpr uint32_t kWrapped = UINT32_MAX / 2;

} // namespace

void HeldBuffers::Add(pw_buffer* buffer) {
    auto* busy = static_cast<spa_meta_busy*>(
        spa_buffer_find_meta_data(buffer->buffer, SPA_META_Busy, sizeof(spa_meta_busy)));
    m_entries.push_back({buffer, busy, Clock::time_point()});
}

void HeldBuffers::Remove(pw_buffer* buffer) {
    for (auto entry = m_entries.begin(); entry != m_entries.end(); ++entry) {
        if (entry->buffer == buffer) {
            m_entries.erase(entry);
            return;
        }
    }
}

pw_buffer* HeldBuffers::TryAll(pw_stream* stream) {
    // PipeWire offers the buffers in turn and puts a held one back last:
    // one try per buffer sees each of them once.
    for (size_t i = 0; i < m_entries.size(); ++i) {
        errno = 0;
        if (pw_buffer* buffer = pw_stream_dequeue_buffer(stream))
            return buffer;
        if (errno != EBUSY)
            return nullptr; // every buffer is on its way to the consumers
    }
    return nullptr;
}

pw_buffer* HeldBuffers::Dequeue(pw_stream* stream, Clock::time_point now, bool& taken) {
    taken = false;
    Repair();
    if (pw_buffer* buffer = TryAll(stream))
        return buffer;
    if (errno != EBUSY)
        return nullptr;
    Entry* oldest = nullptr;
    for (Entry& entry : m_entries) {
        if (entry.busy && (!oldest || entry.sent < oldest->sent))
            oldest = &entry;
    }
    if (!oldest || now - oldest->sent < kSlowHold)
        return nullptr;
    // One hold off it; a consumer still reading it may find the newer
    // picture there, which beats every consumer getting none.
    uint32_t count = Load(oldest->busy);
    while (count > 0 && count < kWrapped && !Replace(oldest->busy, count, count - 1))
        count = Load(oldest->busy);
    taken = true;
    return TryAll(stream);
}

void HeldBuffers::Sent(pw_buffer* buffer, Clock::time_point now) {
    for (Entry& entry : m_entries) {
        if (entry.buffer == buffer)
            entry.sent = now;
    }
}

void HeldBuffers::Repair() {
    for (Entry& entry : m_entries) {
        if (!entry.busy)
            continue;
        const uint32_t count = Load(entry.busy);
        if (count >= kWrapped)
            Replace(entry.busy, count, 0);
    }
}

} // namespace cvl::camera
