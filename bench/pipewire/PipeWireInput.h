// A consumer of a PipeWire video node, as an application is one: a stream
// in the input direction that asks the session manager for a link to the
// named node in one format (MJPG or a raw one), and hands every buffer to a
// handler on the loop's thread until Quit.
#ifndef CVL_BENCH_PIPEWIRE_PIPEWIREINPUT_H
#define CVL_BENCH_PIPEWIRE_PIPEWIREINPUT_H

#include <pipewire/pipewire.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace cvl::bench {

enum class InputFormat { Mjpg, I420, Nv12, Yuy2 };

// Parses "mjpg", "i420", "nv12" or "yuy2".
bool ParseInputFormat(const std::string& text, InputFormat& format);

struct InputFrame {
    const uint8_t* data = nullptr;
    size_t size = 0;
    int width = 0;
    int height = 0;
    size_t stride = 0; // bytes per row of the first plane
    int64_t pts = -1;  // the header's pts when the node sets one
};

class PipeWireInput {
public:
    using Handler = void (*)(void* context, const InputFrame& frame);

    PipeWireInput(InputFormat format, Handler handler, void* context);
    ~PipeWireInput();
    PipeWireInput(const PipeWireInput&) = delete;
    PipeWireInput& operator=(const PipeWireInput&) = delete;

    // Runs the loop until Quit or seconds have passed; false with a reason
    // when it cannot connect.
    bool Run(const std::string& target, double seconds, std::string& error);
    // From the handler: ends Run.
    void Quit();

private:
    static void OnStateChanged(void* input, pw_stream_state old, pw_stream_state state,
                               const char* error);
    static void OnParamChanged(void* input, uint32_t id, const spa_pod* param);
    static void OnProcess(void* input);
    static void OnTimeout(void* input, uint64_t expirations);

    InputFormat m_format;
    Handler m_handler;
    void* m_context;
    pw_main_loop* m_loop = nullptr;
    pw_stream* m_stream = nullptr;
    spa_hook m_listener{};
    int m_width = 0;
    int m_height = 0;
    std::string m_error;
};

} // namespace cvl::bench

#endif
