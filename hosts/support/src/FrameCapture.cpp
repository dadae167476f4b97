#include "cvlhost/FrameCapture.h"

#include "cvlhost/RelayPlace.h"
#include "cvlhost/RelayReader.h"
#include "cvlhost/RelayServer.h"
#include "cvlhost/StockFrames.h"

#include "CVLClient.h"
#include "EvfFrame.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

namespace cvl::host {

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

FrameCapture::FrameCapture(const CaptureSettings& settings, StreamWatch::Timing timing)
    : m_settings(settings), m_timing(timing) {
    // The steady clock is CLOCK_MONOTONIC: timed waits use it too.
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_changed, &attributes);
    pthread_condattr_destroy(&attributes);
    // Without its thread the capture publishes nothing: its holders show
    // the waiting picture, and the reason is said once.
    const int error = pthread_create(&m_thread, nullptr, &FrameCapture::Thread, this);
    m_threadStarted = error == 0;
    if (!m_threadStarted)
        std::fprintf(stderr, "corvalink host: cannot start the frame capture thread: %s\n",
                     std::strerror(error));
}

FrameCapture::~FrameCapture() {
    pthread_mutex_lock(&m_mutex);
    m_keepRunning = false;
    pthread_cond_broadcast(&m_changed);
    pthread_mutex_unlock(&m_mutex);
    if (m_threadStarted)
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

bool FrameCapture::WaitNewer(uint64_t after, Clock::time_point deadline, CapturedFrame& out,
                             const Waiter& waiter) {
    const timespec when = MonotonicDeadline(deadline);
    pthread_mutex_lock(&m_mutex);
    while (m_newest.sequence <= after && !waiter.interrupted && m_keepRunning) {
        if (pthread_cond_timedwait(&m_changed, &m_mutex, &when) != 0)
            break;
    }
    const bool newer = m_newest.sequence > after && !waiter.interrupted;
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

void FrameCapture::Interrupt(Waiter& waiter, bool on) {
    pthread_mutex_lock(&m_mutex);
    waiter.interrupted = on;
    pthread_cond_broadcast(&m_changed);
    pthread_mutex_unlock(&m_mutex);
}

StreamState FrameCapture::State() {
    pthread_mutex_lock(&m_mutex);
    const StreamState state = m_state;
    pthread_mutex_unlock(&m_mutex);
    return state;
}

FrameKind FrameCapture::Kind() {
    pthread_mutex_lock(&m_mutex);
    const FrameKind kind = m_newest.kind;
    pthread_mutex_unlock(&m_mutex);
    return kind;
}

int FrameCapture::AddListener(Listener listener) {
    pthread_mutex_lock(&m_listenerMutex);
    const int id = m_nextListener++;
    if (m_notified)
        listener(m_toldKind, m_toldState);
    m_listeners.emplace_back(id, std::move(listener));
    pthread_mutex_unlock(&m_listenerMutex);
    return id;
}

void FrameCapture::RemoveListener(int id) {
    pthread_mutex_lock(&m_listenerMutex);
    for (auto it = m_listeners.begin(); it != m_listeners.end(); ++it) {
        if (it->first == id) {
            m_listeners.erase(it);
            break;
        }
    }
    pthread_mutex_unlock(&m_listenerMutex);
}

void FrameCapture::Notify() {
    pthread_mutex_lock(&m_mutex);
    const bool haveFrame = m_newest.sequence > 0;
    const FrameKind kind = m_newest.kind;
    const StreamState state = m_state;
    pthread_mutex_unlock(&m_mutex);
    if (!haveFrame)
        return;
    pthread_mutex_lock(&m_listenerMutex);
    if (!m_notified || kind != m_toldKind || state != m_toldState) {
        m_notified = true;
        m_toldKind = kind;
        m_toldState = state;
        for (auto& entry : m_listeners)
            entry.second(kind, state);
    }
    pthread_mutex_unlock(&m_listenerMutex);
}

void FrameCapture::Publish(std::shared_ptr<const EvfFrame> frame, FrameKind kind) {
    CapturedFrame published;
    published.frame = std::move(frame);
    published.kind = kind;
    published.captured = Clock::now();
    const EvfFrame& bytes = *published.frame;
    JpegInfo info;
    if (bytes.GetBuf() && bytes.GetBufSize() > 0 &&
        ReadJpegInfo(bytes.GetBuf(), static_cast<size_t>(bytes.GetBufSize()), info)) {
        published.width = info.width;
        published.height = info.height;
        published.sampling = info.sampling;
    }
    pthread_mutex_lock(&m_mutex);
    published.sequence = m_newest.sequence + 1;
    m_newest = std::move(published);
    pthread_cond_broadcast(&m_changed);
    pthread_mutex_unlock(&m_mutex);
}

void FrameCapture::SetState(StreamState state) {
    pthread_mutex_lock(&m_mutex);
    m_state = state;
    pthread_mutex_unlock(&m_mutex);
}

void FrameCapture::Run() {
    if (m_settings.sandbox || m_settings.startSandbox || !RelayPlace::Enabled()) {
        RunClient(nullptr, false);
        return;
    }
    RelayPlace place;
    if (!place.Usable()) {
        std::fprintf(stderr,
                     "corvalink host: no safe place for the frame relay in %s, "
                     "streaming alone\n",
                     place.Folder().c_str());
        RunClient(nullptr, false);
        return;
    }
    // Neither owning nor reading for this long: the lock or the socket
    // cannot be used (a file in the way, say); the process streams alone.
    constexpr std::chrono::seconds kNoRelay{5};
    bool read = false; // frames came from another process's stream before
    auto contact = Clock::now();
    while (KeepRunning()) {
        if (Clock::now() - contact > kNoRelay) {
            std::fprintf(stderr,
                         "corvalink host: the frame relay in %s cannot be used, "
                         "streaming alone\n",
                         place.Folder().c_str());
            RunClient(nullptr, read);
            return;
        }
        if (place.TakeOwnership()) {
            {
                RelayServer server(place.ListenFd());
                RunClient(&server, read);
            }
            // After the stream has ended, so that the next owner's
            // StartStreaming never meets this one's stream.
            place.GiveUp();
            return;
        }
        const int fd = place.Connect();
        if (fd >= 0) {
            RelayReader reader(fd);
            RunReader(reader);
            read = true;
            contact = Clock::now();
            continue;
        }
        // The owner is between taking the lock and serving the socket, or
        // is going: ask again soon.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void FrameCapture::RunReader(RelayReader& reader) {
    // An owner that sends nothing, not even its keep-alive, is hung.
    constexpr std::chrono::seconds kSilent{10};
    std::shared_ptr<const EvfFrame> last;
    FrameKind lastKind = FrameKind::Error;
    auto heard = Clock::now();
    while (KeepRunning()) {
        RelayHeader header;
        std::shared_ptr<EvfFrame> frame;
        const RelayReader::Result result =
            reader.Read(std::chrono::milliseconds(100), header, frame);
        if (result == RelayReader::Result::Closed)
            return;
        const auto now = Clock::now();
        if (result == RelayReader::Result::Nothing) {
            if (now - heard > kSilent)
                return;
            continue;
        }
        heard = now;
        if (!last || header.kind != lastKind || !SameBytes(*frame, *last)) {
            last = frame;
            lastKind = header.kind;
            Publish(frame, header.kind);
        }
        SetState(header.state);
        Notify();
    }
}

void FrameCapture::RunClient(RelayServer* server, bool takeover) {
    // The readers' last frame stands for this long at most while the new
    // stream begins, instead of the library's waiting picture.
    constexpr std::chrono::seconds kTakeoverHold{5};
    const auto holdUntil = Clock::now() + kTakeoverHold;
    bool holding = takeover;
    std::shared_ptr<const EvfFrame> shown;
    FrameKind shownKind = FrameKind::Error;
    StreamState offeredState = StreamState::Waiting;
    CVLClient client;
    const StockFrames stock;
    const bool sandbox = m_settings.sandbox;
    if (sandbox)
        client.EnableSandboxMode(true);
    if (m_settings.startSandbox)
        client.StartStreamingSandboxMode();
    client.StartStreaming(); // nothing in sandbox mode

    // The waiting picture stands in while the service is not running: the
    // library's own picture would be the busy one, which says another
    // program holds the camera.
    std::shared_ptr<EvfFrame> waiting(new EvfFrame);
    waiting->LoadErrorFrame();

    StreamWatch watch(Clock::now(), StreamWatch::PortProbe(), m_timing);
    std::shared_ptr<const EvfFrame> last; // the client's last frame, published or not
    bool fromPort = false; // a frame came over the frame port since the queue was last emptied
    bool dropped = false;  // the queue was emptied for a service that went away
    auto lastLive = Clock::now(); // the last new live frame
    bool frozenHidden = false;    // the waiting picture stands in for a frozen live one
    auto next = Clock::now();
    while (KeepRunning()) {
        std::shared_ptr<const EvfFrame> frame(client.GetFrame());
        const auto now = Clock::now();
        // A frame that was handed out for the first time is counted by the
        // library; its own status pictures are not. Once one came, the queue
        // always holds the newest, so every later status picture is the
        // service's, not the library's.
        if (!sandbox && client.GetNumUniqueFramesRcvd() > 0)
            fromPort = true;
        const bool empty = !frame->GetBuf() || frame->GetBufSize() <= 0;
        const FrameKind kind = empty ? FrameKind::Error : stock.Kind(*frame);
        const bool distinct = !empty && (!last || !SameBytes(*frame, *last));
        const bool fromService =
            kind == FrameKind::Live || (sandbox ? kind != FrameKind::Disconnected : fromPort);
        if (distinct)
            last = frame;
        if (kind == FrameKind::Live && distinct) {
            lastLive = now;
            frozenHidden = false;
        }

        const StreamWatch::Action action = watch.Observe(kind, distinct, fromService, now);
        switch (action) {
        case StreamWatch::Action::DropStale:
            // The client would repeat the last frame of a dead service.
            if (!sandbox)
                client.ClearQueue();
            fromPort = false;
            dropped = true;
            last.reset();
            Publish(waiting, FrameKind::Error);
            break;
        case StreamWatch::Action::AskAgain:
            if (dropped && !sandbox) {
                // Back after the service was gone: the receiver's clock
                // starts over, so the library shows the waiting picture
                // until the new service's frames come.
                client.StartStreaming();
            } else if (m_settings.startSandbox) {
                client.SendRequest("StartStreamingSandboxMode");
            } else if (sandbox) {
                client.ResetSandboxMode();
            } else {
                // The receiver keeps its queue and its clock.
                client.SendRequest("StartStreaming");
            }
            dropped = false;
            break;
        case StreamWatch::Action::None:
            break;
        }
        const StreamState state = watch.State();
        SetState(state);
        // While the service is not running the library's own pictures are
        // not passed on; live frames (a sandbox stream that another process
        // restarted) end that at once.
        if (holding && (kind == FrameKind::Live || now >= holdUntil))
            holding = false;
        bool published = false;
        if (distinct && !holding &&
            (state != StreamState::ServiceNotRunning || kind == FrameKind::Live)) {
            Publish(frame, kind);
            shown = frame;
            shownKind = kind;
            published = true;
        } else if (action == StreamWatch::Action::DropStale) {
            shown = waiting;
            shownKind = FrameKind::Error;
            published = true;
        }
        // The library repeats the last live frame while none comes (a busy
        // camera, live view being started again): past frozenAfter that
        // picture is no longer live, and the waiting picture stands in.
        if (kind == FrameKind::Live && !distinct && !frozenHidden &&
            now - lastLive >= m_timing.frozenAfter) {
            Publish(waiting, FrameKind::Error);
            frozenHidden = true;
            shown = waiting;
            shownKind = FrameKind::Error;
            published = true;
        }
        if (server && shown && (published || state != offeredState)) {
            server->Offer(shown, shownKind, state);
            offeredState = state;
        }
        Notify();

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
}

} // namespace cvl::host
