#include "FramePump.h"

#include "EvfFrame.h"
#include "cvlhost/FrameStamp.h"
#include "cvlhost/SharedStream.h"

#include <cstdio>
#include <string>

namespace cvl::web {

namespace {

std::string BytesOf(const host::CapturedFrame& frame) {
    if (!frame.frame || !frame.frame->GetBuf() || frame.frame->GetBufSize() <= 0)
        return std::string();
    return std::string(reinterpret_cast<const char*>(frame.frame->GetBuf()),
                       static_cast<size_t>(frame.frame->GetBufSize()));
}

} // namespace

FramePump::FramePump(FrameHub& hub, const WebOptions& options) : m_hub(hub), m_options(options) {}

FramePump::~FramePump() {
    Stop();
}

void FramePump::Start() {
    if (m_thread.joinable())
        return;
    m_stop = false;
    m_thread = std::thread(&FramePump::Run, this);
}

void FramePump::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void FramePump::Run() {
    host::CaptureSettings settings;
    settings.sandbox = m_options.mode == WebOptions::Mode::Sandbox;
    settings.startSandbox = m_options.startSandbox;
    // The process's one client stream; its capture thread calls GetFrame
    // every few milliseconds and watches the service.
    host::SharedStream stream(settings);

    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::nanoseconds(1000000000LL / m_options.rate);
    auto next = Clock::now();
    ViewState shown = ViewState::Waiting;
    uint64_t sequence = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_wake.wait_until(lock, next, [this] { return m_stop; }))
                break;
        }
        // A short wait, so that Stop is seen soon while nothing comes.
        host::CapturedFrame frame;
        const bool fresh =
            stream.WaitNewer(sequence, Clock::now() + std::chrono::milliseconds(100), frame);
        const ViewState state = stream.State();
        if (state != shown) {
            std::printf("cvl-web: %s\n", StateText(state));
            std::fflush(stdout);
            shown = state;
        }
        if (!fresh) {
            // The state can change without a new picture (a frozen live
            // frame is no longer live): the newest picture stays, relabelled.
            if (state != m_hub.State() && stream.Newest(frame))
                m_hub.PublishStatus(state, BytesOf(frame));
            continue;
        }
        sequence = frame.sequence;
        // At most --rate pictures a second.
        next = std::max(next + period, Clock::now());
        std::string bytes = BytesOf(frame);
        if (frame.kind != host::FrameKind::Live || state != ViewState::Live) {
            m_hub.PublishStatus(state, std::move(bytes));
            continue;
        }
        host::FrameStamp stamp;
        const bool stamped = host::ReadFrameStamp(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                  bytes.size(), stamp);
        // Latency up to the GetFrame call that returned the frame (the steady
        // clock is the stamps' CLOCK_MONOTONIC).
        const int64_t gotNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(frame.captured.time_since_epoch())
                .count();
        m_hub.PublishLive(std::move(bytes), stamped ? &stamp : nullptr, gotNs);
    }
    // Leaving the stream: the process's last holder sends StopStreaming.
}

} // namespace cvl::web
