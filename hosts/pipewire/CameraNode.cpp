#include "CameraNode.h"

#include "EvfFrame.h"
#include "cvlhost/FrameStamp.h"
#include "cvlhost/JpegHeader.h"

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace cvl::camera {

namespace {

// Browsers take 30/1; the node hands out each new frame as it comes.
constexpr spa_fraction kFrameRate{30, 1};
// While no new picture comes (status pictures, a stalled camera), the newest
// one is sent again this often, so that no consumer waits for a frame.
constexpr std::chrono::milliseconds kRepeatPeriod{100};
// Bad frames less than this apart belong to one run, logged once.
constexpr std::chrono::seconds kBadRunQuiet{10};
// A new live-view size is offered (and the links renegotiate) once the
// camera's frames have kept it this long: a camera whose size flips from
// frame to frame stays at the size it had, its other frames scaled to it.
constexpr int kSizeSettleFrames = 3;
constexpr std::chrono::milliseconds kSizeSettleTime{500};
// A node that cannot keep up with the camera sees every other frame or fewer,
// so frames that follow each other may never come: a size that alone came
// for this long, in this many frames, is taken all the same.
constexpr int kSizeHeldFrames = 10;
constexpr std::chrono::seconds kSizeHeldTime{2};

const PixelFormat kOffered[] = {PixelFormat::Mjpg, PixelFormat::I420, PixelFormat::Nv12,
                                PixelFormat::Yuy2};

spa_video_format RawId(PixelFormat format) {
    switch (format) {
    case PixelFormat::I420:
        return SPA_VIDEO_FORMAT_I420;
    case PixelFormat::Nv12:
        return SPA_VIDEO_FORMAT_NV12;
    case PixelFormat::Yuy2:
        return SPA_VIDEO_FORMAT_YUY2;
    default:
        return SPA_VIDEO_FORMAT_UNKNOWN;
    }
}

// Raw 4:2:0 and 4:2:2 formats need even sides: a live view of odd size is
// offered to raw consumers at the even size below it (and scaled), to MJPG
// consumers at its own size (passed through).
const spa_pod* BuildFormat(spa_pod_builder& builder, PixelFormat format, int width, int height) {
    if (format != PixelFormat::Mjpg) {
        width &= ~1;
        height &= ~1;
    }
    const spa_rectangle size =
        SPA_RECTANGLE(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    if (format == PixelFormat::Mjpg)
        return static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&kFrameRate)));
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(RawId(format)),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_Fraction(&kFrameRate)));
}

timespec ToTimespec(std::chrono::milliseconds duration) {
    timespec value;
    value.tv_sec = static_cast<time_t>(duration.count() / 1000);
    value.tv_nsec = static_cast<long>((duration.count() % 1000) * 1000000);
    return value;
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    return events;
}();

} // namespace

CameraNode::CameraNode(const CameraOptions& options)
    : m_options(options), m_offerWidth(options.width), m_offerHeight(options.height),
      m_badFrames(kBadRunQuiet), m_slowConsumers(kBadRunQuiet),
      m_feed(&CameraNode::WakeFromFeed, this) {}

CameraNode::~CameraNode() {
    // No wake may reach the loop while it goes away.
    m_feed.Shutdown();
    m_controls.Stop();
    if (!m_loop)
        return;
    pw_thread_loop_lock(m_loop);
    m_links.Stop();
    if (m_stream)
        pw_stream_destroy(m_stream);
    if (m_core)
        pw_core_disconnect(m_core);
    pw_thread_loop_unlock(m_loop);
    pw_thread_loop_stop(m_loop);
    if (m_context)
        pw_context_destroy(m_context);
    pw_thread_loop_destroy(m_loop);
}

int CameraNode::Start(std::string& error) {
    // Without its feed the node shows the waiting picture; said once.
    if (!m_feed.Started())
        std::fprintf(stderr, "cvl-camera: cannot start the frame feed thread\n");
    m_loop = pw_thread_loop_new("cvl-camera", nullptr);
    if (!m_loop) {
        error = "cannot create the PipeWire loop";
        return kExitFailure;
    }
    m_context = pw_context_new(pw_thread_loop_get_loop(m_loop), nullptr, 0);
    if (!m_context) {
        error = "cannot create the PipeWire context";
        return kExitFailure;
    }
    if (pw_thread_loop_start(m_loop) < 0) {
        error = "cannot start the PipeWire loop";
        return kExitFailure;
    }
    pw_thread_loop_lock(m_loop);
    m_core = pw_context_connect(m_context, nullptr, 0);
    if (!m_core) {
        const int cause = errno;
        pw_thread_loop_unlock(m_loop);
        const char* runtime = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (!runtime)
            runtime = std::getenv("XDG_RUNTIME_DIR");
        error = std::string("no PipeWire daemon to connect to (") + std::strerror(cause) +
                "; looked in " + (runtime ? runtime : "the default runtime folder") + ")";
        return kExitNoPipeWire;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = &CameraNode::OnCoreError;
        return events;
    }();
    pw_core_add_listener(m_core, &m_coreListener, &coreEvents, this);

    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, m_options.nodeName.c_str(),
        PW_KEY_NODE_DESCRIPTION, m_options.description.c_str(), PW_KEY_NODE_NICK,
        m_options.description.c_str(), PW_KEY_MEDIA_NAME, m_options.description.c_str(),
        PW_KEY_OBJECT_PATH, ("corvalink:" + m_options.nodeName).c_str(), PW_KEY_DEVICE_ICON_NAME,
        "camera-web", PW_KEY_NODE_DRIVER, "true", nullptr);
    m_stream = pw_stream_new(m_core, m_options.description.c_str(), properties);
    if (!m_stream) {
        pw_thread_loop_unlock(m_loop);
        error = "cannot create the PipeWire stream";
        return kExitFailure;
    }
    static const pw_stream_events streamEvents = [] {
        pw_stream_events events = kStreamEvents;
        events.state_changed = &CameraNode::OnStateChanged;
        events.param_changed = &CameraNode::OnParamChanged;
        events.process = &CameraNode::OnProcess;
        events.add_buffer = &CameraNode::OnAddBuffer;
        events.remove_buffer = &CameraNode::OnRemoveBuffer;
        return events;
    }();
    pw_stream_add_listener(m_stream, &m_streamListener, &streamEvents, this);

    pw_loop* loop = pw_thread_loop_get_loop(m_loop);
    m_wake = pw_loop_add_event(loop, &CameraNode::OnWake, this);
    m_repeat = pw_loop_add_timer(loop, &CameraNode::OnRepeat, this);
    m_linger = pw_loop_add_timer(loop, &CameraNode::OnLinger, this);
    OfferFormats(true);
    m_links.Start(m_core, m_stream);
    pw_thread_loop_unlock(m_loop);
    m_controls.Start(m_loop, m_stream);
    return kExitOk;
}

bool CameraNode::Failed(std::string& reason) {
    pthread_mutex_lock(&m_failureMutex);
    const bool failed = !m_failure.empty();
    reason = m_failure;
    pthread_mutex_unlock(&m_failureMutex);
    return failed;
}

void CameraNode::Fail(const std::string& reason) {
    pthread_mutex_lock(&m_failureMutex);
    const bool first = m_failure.empty();
    if (first)
        m_failure = reason;
    pthread_mutex_unlock(&m_failureMutex);
    if (first)
        kill(getpid(), SIGUSR1);
}

void CameraNode::OfferFormats(bool connect) {
    uint8_t buffer[2048];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* params[sizeof(kOffered) / sizeof(kOffered[0])];
    uint32_t count = 0;
    for (PixelFormat format : kOffered)
        params[count++] = BuildFormat(builder, format, m_offerWidth, m_offerHeight);
    if (connect) {
        const auto flags =
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
        if (pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, count) < 0)
            Fail("cannot connect the PipeWire stream");
    } else {
        pw_stream_update_params(m_stream, params, count);
    }
}

void CameraNode::ArmTimer(spa_source* timer, std::chrono::milliseconds first,
                          std::chrono::milliseconds interval) {
    timespec value = ToTimespec(first);
    timespec repeat = ToTimespec(interval);
    if (first.count() == 0)
        value.tv_nsec = 1; // zero would disarm it
    pw_loop_update_timer(pw_thread_loop_get_loop(m_loop), timer, &value, &repeat, false);
}

void CameraNode::OnStateChanged(void* node, pw_stream_state, pw_stream_state state,
                                const char* error) {
    auto* self = static_cast<CameraNode*>(node);
    pw_loop* loop = pw_thread_loop_get_loop(self->m_loop);
    const bool streaming = state == PW_STREAM_STATE_STREAMING;
    if (streaming && !self->m_streaming) {
        // A consumer streams: the service's stream is wanted (again).
        pw_loop_update_timer(loop, self->m_linger, nullptr, nullptr, false);
        self->m_feed.SetWanted(true);
        self->ArmTimer(self->m_repeat, std::chrono::milliseconds(0), kRepeatPeriod);
    } else if (!streaming && self->m_streaming) {
        // The last consumer left: the stream ends after the linger time,
        // unless a consumer comes back first.
        pw_loop_update_timer(loop, self->m_repeat, nullptr, nullptr, false);
        const auto linger =
            std::chrono::milliseconds(static_cast<int64_t>(self->m_options.lingerSeconds * 1000.0));
        if (linger.count() == 0)
            self->m_feed.SetWanted(false);
        else
            self->ArmTimer(self->m_linger, linger, std::chrono::milliseconds(0));
    }
    self->m_streaming = streaming;
    if (state == PW_STREAM_STATE_ERROR)
        self->Fail(std::string("the PipeWire stream failed: ") + (error ? error : "no reason"));
    else if (state == PW_STREAM_STATE_UNCONNECTED)
        self->Fail("the PipeWire daemon closed the connection");
}

void CameraNode::OnLinger(void* node, uint64_t) {
    auto* self = static_cast<CameraNode*>(node);
    if (!self->m_streaming)
        self->m_feed.SetWanted(false);
}

void CameraNode::OnParamChanged(void* node, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<CameraNode*>(node);
    if (id == SPA_PARAM_Props) {
        self->m_controls.Write(param);
        return;
    }
    if (id != SPA_PARAM_Format)
        return;
    if (!param) {
        self->m_negotiated = false;
        return;
    }
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video) {
        self->m_negotiated = false;
        return;
    }
    spa_rectangle size{};
    PixelFormat format = PixelFormat::Mjpg;
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
        spa_video_info_mjpg info{};
        if (spa_format_video_mjpg_parse(param, &info) < 0)
            return;
        size = info.size;
    } else if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0)
            return;
        size = info.size;
        bool known = false;
        for (PixelFormat offered : kOffered) {
            if (offered != PixelFormat::Mjpg && RawId(offered) == info.format) {
                format = offered;
                known = true;
            }
        }
        if (!known)
            return;
    } else {
        return;
    }
    if (size.width < 2 || size.height < 2 || size.width > kMaxLiveSide ||
        size.height > kMaxLiveSide)
        return;
    self->m_format = format;
    self->m_width = static_cast<int>(size.width);
    self->m_height = static_cast<int>(size.height);
    self->m_negotiated = true;
    // Until the buffers of this format come, a consumer may still hold the
    // format before: a frame of the new size would be misread there.
    self->m_buffersReady = false;
    std::fprintf(stderr, "cvl-camera: consumers take %s at %dx%d\n", PixelFormatName(format),
                 self->m_width, self->m_height);

    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* params[2];
    const int stride = FirstStride(format, self->m_width);
    const auto bytes = static_cast<int>(FrameBytes(format, self->m_width, self->m_height));
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(8, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(bytes), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
        SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
        SPA_POD_Int(sizeof(struct spa_meta_header))));
    pw_stream_update_params(self->m_stream, params, 2);
}

void CameraNode::OnAddBuffer(void* node, pw_buffer* buffer) {
    // Buffers of the new format: every consumer has taken it by now.
    auto* self = static_cast<CameraNode*>(node);
    self->m_buffersReady = true;
    self->m_held.Add(buffer);
}

void CameraNode::OnRemoveBuffer(void* node, pw_buffer* buffer) {
    static_cast<CameraNode*>(node)->m_held.Remove(buffer);
}

void CameraNode::WakeFromFeed(void* node) {
    auto* self = static_cast<CameraNode*>(node);
    if (self->m_loop && self->m_wake)
        pw_loop_signal_event(pw_thread_loop_get_loop(self->m_loop), self->m_wake);
}

void CameraNode::OnWake(void* node, uint64_t) {
    auto* self = static_cast<CameraNode*>(node);
    if (self->m_streaming && self->m_negotiated && pw_stream_is_driving(self->m_stream) &&
        !self->m_links.Judging(Clock::now()))
        pw_stream_trigger_process(self->m_stream);
}

void CameraNode::OnRepeat(void* node, uint64_t) {
    auto* self = static_cast<CameraNode*>(node);
    // Judging also destroys a refused link that never became active.
    if (self->m_streaming && self->m_negotiated && pw_stream_is_driving(self->m_stream) &&
        !self->m_links.Judging(Clock::now()) && Clock::now() - self->m_lastQueued >= kRepeatPeriod)
        pw_stream_trigger_process(self->m_stream);
}

void CameraNode::OnProcess(void* node) {
    static_cast<CameraNode*>(node)->Process();
}

void CameraNode::OnCoreError(void* node, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<CameraNode*>(node);
    if (id == PW_ID_CORE && res == -EPIPE)
        self->Fail("the PipeWire daemon went away");
    else
        std::fprintf(stderr, "cvl-camera: PipeWire reports an error on object %u: %s\n", id,
                     message ? message : std::strerror(-res));
}

bool CameraNode::SizeSettled(int width, int height, uint64_t sequence) {
    const auto now = Clock::now();
    if (width == m_offerWidth && height == m_offerHeight) {
        m_newSizeFrames = 0;
        return false;
    }
    if (m_newSizeFrames == 0 || width != m_newWidth || height != m_newHeight) {
        m_newWidth = width;
        m_newHeight = height;
        m_newSizeFrames = 1;
        m_newSizeSeen = 1;
        m_newSizeSince = now;
        m_newSizeSequence = sequence;
        return false;
    }
    // Only frames that follow each other count: the node sees the newest
    // frame when it gets to it, and frames of other sizes may have come in
    // between. The newest frame is also sent again while no new one comes.
    if (sequence == m_newSizeSequence + 1)
        ++m_newSizeFrames;
    if (sequence != m_newSizeSequence)
        ++m_newSizeSeen;
    m_newSizeSequence = sequence;
    const bool followed =
        m_newSizeFrames >= kSizeSettleFrames && now - m_newSizeSince >= kSizeSettleTime;
    const bool held = m_newSizeSeen >= kSizeHeldFrames && now - m_newSizeSince >= kSizeHeldTime;
    if (!followed && !held)
        return false;
    m_newSizeFrames = 0;
    return true;
}

void CameraNode::BadFrame(const std::string& reason) {
    // One line for a run of bad frames, however many good ones come between
    // them.
    if (m_badFrames.Event(Clock::now()))
        std::fprintf(stderr,
                     "cvl-camera: a frame from the camera is %s; it and the like are shown as "
                     "the status picture (said once per run of bad frames)\n",
                     reason.c_str());
}

void CameraNode::Process() {
    if (!m_negotiated || !m_buffersReady)
        return;
    bool taken = false;
    pw_buffer* buffer = m_held.Dequeue(m_stream, Clock::now(), taken);
    if (taken && m_slowConsumers.Event(Clock::now()))
        std::fprintf(stderr, "cvl-camera: a consumer holds every buffer and does not keep up; the "
                             "oldest is taken back from it each time, so that the others go on "
                             "(said once per run)\n");
    if (!buffer)
        return; // every buffer is with the consumers: this picture is skipped
    spa_buffer* spa = buffer->buffer;
    spa_data& data = spa->datas[0];
    size_t written = 0;
    if (data.data)
        written = Fill(static_cast<uint8_t*>(data.data), data.maxsize);
    data.chunk->offset = 0;
    data.chunk->size = static_cast<uint32_t>(written);
    data.chunk->stride = FirstStride(m_format, m_width);
    data.chunk->flags = written ? 0 : SPA_CHUNK_FLAG_CORRUPTED;
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->pts = m_pts;
        header->flags = 0;
        header->seq = m_bufferSequence++;
        header->dts_offset = 0;
    }
    m_lastQueued = Clock::now();
    m_held.Sent(buffer, m_lastQueued);
    pw_stream_queue_buffer(m_stream, buffer);
}

size_t CameraNode::Fill(uint8_t* memory, size_t capacity) {
    const FeedFrame newest = m_feed.Newest();
    m_pts = cvl::host::MonotonicNowNs();
    FrameKind kind = cvl::host::ShownKind(newest);
    if (kind == FrameKind::Live) {
        const size_t live = FillLive(newest.captured, memory, capacity);
        if (live)
            return live;
        kind = FrameKind::Error;
    }
    return FillStatus(kind, memory, capacity);
}

size_t CameraNode::FillLive(const CapturedFrame& frame, uint8_t* memory, size_t capacity) {
    const EvfFrame& jpeg = *frame.frame;
    const uint8_t* bytes = jpeg.GetBuf();
    const size_t length =
        jpeg.GetBuf() && jpeg.GetBufSize() > 0 ? static_cast<size_t>(jpeg.GetBufSize()) : 0;
    int width = frame.width;
    int height = frame.height;
    if (length == 0) {
        BadFrame("empty");
        return 0;
    }
    // Judged by its header before anything is decoded.
    if (width > kMaxLiveSide || height > kMaxLiveSide) {
        BadFrame("larger than the node shows (" + std::to_string(kMaxLiveSide) + " on a side)");
        return 0;
    }
    if (m_format == PixelFormat::Mjpg) {
        // Passed through as it is: its header must name a size.
        if (width <= 0 || height <= 0) {
            BadFrame("not a JPEG");
            return 0;
        }
        // Not decoded here: a JPEG cut short (its end-of-image marker
        // missing) is the one damage that can be told cheaply, and the raw
        // path's decoder refuses it too.
        if (!cvl::host::EndsWithEndOfImage(bytes, length)) {
            BadFrame("cut short (no end-of-image marker)");
            return 0;
        }
    } else {
        // A 4:2:0 JPEG of the negotiated size goes straight from its planes
        // to the frame; anything else through YCbCr (scaled down by the
        // decoder where it is larger) and scaling.
        DecodeResult result = DecodeResult::Unsupported;
        m_planarReady = false;
        if (width == m_width && height == m_height)
            result = DecodeJpegPlanar(bytes, length, kMaxLiveSide, m_planar);
        if (result == DecodeResult::Ok) {
            m_planarReady = true;
            if (m_decoded.pixels.capacity())
                m_decoded = YcbcrImage(); // no picture of another size kept
        } else if (result == DecodeResult::Unsupported) {
            result = DecodeJpeg(bytes, length, kMaxLiveSide, m_decoded, m_width, m_height);
            width = m_decoded.sourceWidth;
            height = m_decoded.sourceHeight;
        }
        if (result != DecodeResult::Ok) {
            BadFrame(DecodeResultName(result));
            return 0;
        }
    }
    if (SizeSettled(width, height, frame.sequence)) {
        std::fprintf(stderr, "cvl-camera: the live view is %dx%d now; offering that size\n", width,
                     height);
        m_offerWidth = width;
        m_offerHeight = height;
        OfferFormats(false);
    }
    // The picture's time: when the camera took it where the frame says so,
    // else when the capture got it (both CLOCK_MONOTONIC, PipeWire's clock).
    cvl::host::FrameStamp stamp;
    m_pts = cvl::host::ReadFrameStamp(bytes, length, stamp)
                ? stamp.monotonicNs
                : std::chrono::duration_cast<std::chrono::nanoseconds>(
                      frame.captured.time_since_epoch())
                      .count();
    if (m_format == PixelFormat::Mjpg) {
        // A JPEG of another size than negotiated would be misread: the
        // status picture stands in until the consumers take the new size.
        if (width != m_width || height != m_height || length > capacity)
            return 0;
        std::memcpy(memory, bytes, length);
        return length;
    }
    const size_t needed = FrameBytes(m_format, m_width, m_height);
    if (needed > capacity)
        return 0;
    if (m_planarReady)
        WritePlanar(m_planar, m_format, memory);
    else
        WriteRaw(m_decoded, m_format, m_width, m_height, memory);
    return needed;
}

size_t CameraNode::FillStatus(FrameKind kind, uint8_t* memory, size_t capacity) {
    const std::vector<uint8_t>& picture = m_status.Get(kind, m_format, m_width, m_height);
    if (picture.empty() || picture.size() > capacity)
        return 0;
    std::memcpy(memory, picture.data(), picture.size());
    return picture.size();
}

} // namespace cvl::camera
