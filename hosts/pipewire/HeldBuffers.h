// The node's buffers and the consumers' hold on them. Every consumer of the
// node shares the same buffers, and each marks a buffer busy while it holds
// it; PipeWire hands the producer only buffers nobody holds. A consumer that
// links and then stops taking its buffers (a hung program, a paused
// pipeline) soon holds every one of them, and the node would send nothing
// to anybody. So when every buffer is held, the one sent longest ago (which
// a consumer that keeps up has given back long since) is taken back from
// whoever still holds it.
#ifndef CVL_HOSTS_PIPEWIRE_HELDBUFFERS_H
#define CVL_HOSTS_PIPEWIRE_HELDBUFFERS_H

#include <pipewire/pipewire.h>

#include <chrono>
#include <vector>

namespace cvl::camera {

class HeldBuffers {
public:
    using Clock = std::chrono::steady_clock;

    // A buffer held longer than this after it was sent, while every other
    // buffer is held too, belongs to a consumer that does not keep up.
    static constexpr std::chrono::milliseconds kSlowHold{250};

    void Add(pw_buffer* buffer);
    void Remove(pw_buffer* buffer);

    // A buffer to fill, or nullptr when none may be taken now. taken is set
    // when a slow consumer's hold on it was ended.
    pw_buffer* Dequeue(pw_stream* stream, Clock::time_point now, bool& taken);
    // The buffer goes to the consumers now.
    void Sent(pw_buffer* buffer, Clock::time_point now);

private:
    struct Entry {
        pw_buffer* buffer;
        spa_meta_busy* busy;
        Clock::time_point sent;
    };

    pw_buffer* TryAll(pw_stream* stream);
    // A consumer that gives back a buffer taken from it counts one hold too
    // many off: such a count is set right before it hides a real hold.
    void Repair();

    std::vector<Entry> m_entries;
};

} // namespace cvl::camera

#endif
