#include "FrameCapture.h"

#include "CVLClient.h"
#include "EvfFrame.h"
#include "JpegSize.h"
#include "StockFrames.h"

#include <gst/gst.h>

#include <cstring>
#include <ctime>
#include <thread>

GST_DEBUG_CATEGORY_EXTERN(cvl_src_debug);
#define GST_CAT_DEFAULT cvl_src_debug

namespace cvl::gst {

namespace {

bool SameBytes(const EvfFrame& a, const EvfFrame& b) {
    if (a.GetBufSize() != b.GetBufSize())
        return false;
    if (a.GetBufSize() == 0 || !a.GetBuf() || !b.GetBuf())
        return a.GetBuf() == b.GetBuf();
    return std::memcmp(a.GetBuf(), b.GetBuf(), static_cast<size_t>(a.GetBufSize())) == 0;
}

timespec MonotonicDeadline(FrameCapture::Clock::time_point deadline) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    timespec when;
    when.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    when.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return when;
}

} // namespace

const char* KindName(FrameKind kind) {
    switch (kind) {
    case FrameKind::Live:
        return "live";
    case FrameKind::Error:
        return "error";
    case FrameKind::Busy:
        return "busy";
    case FrameKind::Disconnected:
        return "disconnected";
    }
    return "unknown";
}

FrameCapture::FrameCapture(const CaptureSettings& settings, KindListener listener, void* context)
    : m_settings(settings), m_listener(listener), m_context(context) {
    // The steady clock is CLOCK_MONOTONIC: timed waits use it too.
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_changed, &attributes);
    pthread_condattr_destroy(&attributes);
    pthread_create(&m_thread, nullptr, &FrameCapture::Thread, this);
}

FrameCapture::~FrameCapture() {
    pthread_mutex_lock(&m_mutex);
    m_keepRunning = false;
    pthread_cond_broadcast(&m_changed);
    pthread_mutex_unlock(&m_mutex);
    pthread_join(m_thread, nullptr);
    pthread_cond_destroy(&m_changed);
}

void* FrameCapture::Thread(void* capture) {
    static_cast<FrameCapture*>(capture)->Run();
    return nullptr;
}

bool FrameCapture::KeepRunning() {
    pthread_mutex_lock(&m_mutex);
    const bool keepRunning = m_keepRunning;
    pthread_mutex_unlock(&m_mutex);
    return keepRunning;
}

bool FrameCapture::ServiceAbsent() {
    pthread_mutex_lock(&m_mutex);
    const bool absent = m_serviceAbsent;
    pthread_mutex_unlock(&m_mutex);
    return absent;
}

bool FrameCapture::WaitNewer(uint64_t after, Clock::time_point deadline, CapturedFrame& out) {
    const timespec when = MonotonicDeadline(deadline);
    pthread_mutex_lock(&m_mutex);
    while (m_newest.sequence <= after && !m_interrupted && m_keepRunning) {
        if (pthread_cond_timedwait(&m_changed, &m_mutex, &when) != 0)
            break;
    }
    const bool newer = m_newest.sequence > after && !m_interrupted;
    if (newer)
        out = m_newest;
    pthread_mutex_unlock(&m_mutex);
    return newer;
}

bool FrameCapture::Newest(CapturedFrame& out) {
    pthread_mutex_lock(&m_mutex);
    const bool have = m_newest.sequence > 0;
    if (have)
        out = m_newest;
    pthread_mutex_unlock(&m_mutex);
    return have;
}

void FrameCapture::Interrupt(bool on) {
    pthread_mutex_lock(&m_mutex);
    m_interrupted = on;
    pthread_cond_broadcast(&m_changed);
    pthread_mutex_unlock(&m_mutex);
}

void FrameCapture::Publish(std::shared_ptr<const EvfFrame> frame, FrameKind kind) {
    CapturedFrame published;
    published.frame = std::move(frame);
    published.kind = kind;
    published.captured = Clock::now();
    const EvfFrame& bytes = *published.frame;
    if (!ReadJpegSize(bytes.GetBuf(), static_cast<size_t>(bytes.GetBufSize()), published.width,
                      published.height))
        GST_WARNING("frame of %d bytes without a readable JPEG frame header", bytes.GetBufSize());
    pthread_mutex_lock(&m_mutex);
    const bool kindChanged = m_newest.sequence == 0 || m_newest.kind != kind;
    published.sequence = m_newest.sequence + 1;
    m_newest = std::move(published);
    pthread_cond_broadcast(&m_changed);
    pthread_mutex_unlock(&m_mutex);
    if (kindChanged) {
        GST_INFO("now handing out %s frames", KindName(kind));
        if (m_listener)
            m_listener(m_context, kind);
    }
}

void FrameCapture::Run() {
    CVLClient client;
    const cvl::view::StockFrames stock;
    if (m_settings.sandbox)
        client.EnableSandboxMode(true);
    if (m_settings.startSandbox)
        client.StartStreamingSandboxMode();
    client.StartStreaming(); // nothing in sandbox mode
    GST_INFO("capture thread started, %s mode", m_settings.sandbox ? "sandbox" : "port");

    // Asking for the stream doubles as the check of the request port: the
    // service answers every request, and one more stream request for a stream
    // that runs changes nothing there. A host that only reads sandbox files
    // another process asked for just checks.
    auto askForStream = [&]() {
        if (m_settings.startSandbox)
            return client.SendRequest("StartStreamingSandboxMode");
        if (m_settings.sandbox)
            return client.SendRequest("SandboxTest");
        return client.SendRequest("StartStreaming");
    };

    std::shared_ptr<const EvfFrame> last; // the client's last frame, published or not
    auto lastDistinct = Clock::now();
    auto nextProbe = lastDistinct;
    bool absent = false;
    auto next = Clock::now();
    while (KeepRunning()) {
        std::shared_ptr<const EvfFrame> frame(client.GetFrame());
        const auto now = Clock::now();
        if (!frame->GetBuf() || frame->GetBufSize() <= 0) {
            // A status frame whose file could not be read: nothing to show.
            GST_DEBUG("empty frame from the client passed over");
        } else if (!last || !SameBytes(*frame, *last)) {
            last = frame;
            lastDistinct = now;
            const FrameKind kind = stock.Kind(*frame);
            if (absent && kind == FrameKind::Live) {
                // Frames came back without the check: a sandbox stream that
                // another process restarted.
                GST_INFO("live frames again");
                absent = false;
            }
            if (!absent)
                Publish(frame, kind);
        }

        if (!absent && now - lastDistinct >= kStallTime && now >= nextProbe) {
            if (askForStream()) {
                GST_DEBUG("no new frame for 5 s; the service answers, stream asked for again");
                lastDistinct = Clock::now();
            } else {
                GST_INFO("no new frame for 5 s and the service does not answer");
                absent = true;
                pthread_mutex_lock(&m_mutex);
                m_serviceAbsent = true;
                pthread_mutex_unlock(&m_mutex);
                // The client would repeat its last frame: let it go.
                if (!m_settings.sandbox)
                    client.ClearQueue();
                std::shared_ptr<EvfFrame> busy(new EvfFrame);
                busy->LoadBusyFrame();
                Publish(busy, FrameKind::Busy);
            }
            nextProbe = Clock::now() + kAbsentProbePeriod;
        } else if (absent && now >= nextProbe) {
            if (askForStream()) {
                GST_INFO("the service answers again; stream asked for");
                absent = false;
                last.reset(); // whatever the client hands out next is news
                lastDistinct = Clock::now();
                if (m_settings.sandbox)
                    client.ResetSandboxMode();
            }
            nextProbe = Clock::now() + kAbsentProbePeriod;
        }
        if (!absent) {
            pthread_mutex_lock(&m_mutex);
            m_serviceAbsent = false;
            pthread_mutex_unlock(&m_mutex);
        }

        next += kCapturePeriod;
        const auto after = Clock::now();
        if (next < after)
            next = after; // a slow call (a request, a sandbox read): carry on from now
        else
            std::this_thread::sleep_until(next);
    }

    client.StopStreaming(); // port mode: ends the stream; sandbox mode: starts reading over
    if (m_settings.startSandbox)
        client.StopStreamingSandboxMode();
    GST_INFO("capture thread stopped");
}

} // namespace cvl::gst
