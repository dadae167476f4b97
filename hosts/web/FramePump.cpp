#include "FramePump.h"

#include "CVLClient.h"
#include "EvfFrame.h"
#include "FrameStamp.h"
#include "StockFrames.h"

#include <cstdio>
#include <memory>

namespace cvl::web {

namespace {

ViewState StateOf(view::FrameKind kind) {
    switch (kind) {
    case view::FrameKind::Live:
        return ViewState::Live;
    case view::FrameKind::Busy:
        return ViewState::CameraBusy;
    case view::FrameKind::Disconnected:
        return ViewState::NoCamera;
    case view::FrameKind::Error:
        break;
    }
    return ViewState::Waiting;
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
    const view::StockFrames stock;
    CVLClient client;
    if (m_options.mode == WebOptions::Mode::Sandbox)
        client.EnableSandboxMode(true);
    if (m_options.startSandbox)
        client.StartStreamingSandboxMode();
    client.StartStreaming(); // does nothing in sandbox mode

    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::nanoseconds(1000000000LL / m_options.rate);
    auto next = Clock::now();
    ViewState shown = ViewState::Waiting;
    bool haveLast = false;
    view::FrameStamp lastStamp;
    bool lastStamped = false;
    std::string lastBytes;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_wake.wait_until(lock, next, [this] { return m_stop; }))
                break;
        }
        // A call that took longer than a period is followed at once by the next.
        next = std::max(next + period, Clock::now());

        std::unique_ptr<EvfFrame> frame(client.GetFrame());
        const int64_t nowNs = view::MonotonicNowNs();
        const view::FrameKind kind = stock.Kind(*frame);
        const ViewState state = StateOf(kind);
        std::string bytes;
        if (frame->GetBuf() && frame->GetBufSize() > 0)
            bytes.assign(reinterpret_cast<const char*>(frame->GetBuf()),
                         static_cast<size_t>(frame->GetBufSize()));
        if (state != shown) {
            std::printf("cvl-web: %s\n", StateText(state));
            std::fflush(stdout);
            shown = state;
        }
        if (kind != view::FrameKind::Live) {
            m_hub.PublishStatus(state, std::move(bytes));
            haveLast = false;
            continue;
        }
        // A repeat of the newest frame (nothing newer came) is no new picture:
        // by the stamp's sequence number where there are stamps, else by bytes.
        view::FrameStamp stamp;
        const bool stamped = view::ReadFrameStamp(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                  bytes.size(), stamp);
        const bool repeat =
            haveLast &&
            (stamped && lastStamped ? stamp.sequence == lastStamp.sequence : bytes == lastBytes);
        if (repeat)
            continue;
        haveLast = true;
        lastStamped = stamped;
        lastStamp = stamp;
        if (!stamped)
            lastBytes = bytes;
        m_hub.PublishLive(std::move(bytes), stamped ? &stamp : nullptr, nowNs);
    }
    client.StopStreaming(); // port mode: ends the stream; sandbox mode: starts reading over
    if (m_options.startSandbox)
        client.StopStreamingSandboxMode();
}

} // namespace cvl::web
