// A consumer of the camera node written straight on libpipewire's stream
// API, offering one format only (MJPG, or raw I420 at any size), linked by
// WirePlumber like a camera application. It records the format PipeWire
// hands it and every buffer that comes, so that a test can tell whether it
// was ever given a format it did not offer, and buffers in it.
#ifndef CVL_TESTS_HOSTS_PIPEWIRE_STREAMJOINER_H
#define CVL_TESTS_HOSTS_PIPEWIRE_STREAMJOINER_H

#include <pipewire/pipewire.h>

#include <cstddef>
#include <string>

namespace cvl::test {

class StreamJoiner {
public:
    // mjpg: offers MJPG only; else raw I420 only.
    explicit StreamJoiner(bool mjpg);
    ~StreamJoiner();
    StreamJoiner(const StreamJoiner&) = delete;
    StreamJoiner& operator=(const StreamJoiner&) = delete;

    bool Start();

    // Formats handed to it that it did not offer, and buffers that came
    // while it had one of them.
    size_t ForeignFormats();
    size_t ForeignBuffers();
    size_t Buffers();
    // The last format handed to it: "MJPG", a raw format's name, or "".
    std::string Format();

private:
    static void OnParamChanged(void* joiner, uint32_t id, const spa_pod* param);
    static void OnProcess(void* joiner);
    // A member's value, read under the loop's lock.
    template <typename T> T Read(const T& value);

    const bool m_mjpg;
    pw_thread_loop* m_loop = nullptr;
    pw_stream* m_stream = nullptr;
    spa_hook m_listener{};
    // Under the loop's lock.
    std::string m_format;
    bool m_foreign = false;
    size_t m_foreignFormats = 0;
    size_t m_foreignBuffers = 0;
    size_t m_buffers = 0;
};

} // namespace cvl::test

#endif
