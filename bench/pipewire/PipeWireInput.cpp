#include "PipeWireInput.h"

#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>

#include <cmath>

namespace cvl::bench {

namespace {

spa_video_format RawFormat(InputFormat format) {
    switch (format) {
    case InputFormat::I420:
        return SPA_VIDEO_FORMAT_I420;
    case InputFormat::Nv12:
        return SPA_VIDEO_FORMAT_NV12;
    case InputFormat::Yuy2:
        return SPA_VIDEO_FORMAT_YUY2;
    case InputFormat::Mjpg:
        break;
    }
    return SPA_VIDEO_FORMAT_UNKNOWN;
}

} // namespace

bool ParseInputFormat(const std::string& text, InputFormat& format) {
    if (text == "mjpg")
        format = InputFormat::Mjpg;
    else if (text == "i420")
        format = InputFormat::I420;
    else if (text == "nv12")
        format = InputFormat::Nv12;
    else if (text == "yuy2")
        format = InputFormat::Yuy2;
    else
        return false;
    return true;
}

PipeWireInput::PipeWireInput(InputFormat format, Handler handler, void* context)
    : m_format(format), m_handler(handler), m_context(context) {
    pw_init(nullptr, nullptr);
}

PipeWireInput::~PipeWireInput() {
    if (m_stream)
        pw_stream_destroy(m_stream);
    if (m_loop)
        pw_main_loop_destroy(m_loop);
    pw_deinit();
}

void PipeWireInput::Quit() {
    if (m_loop)
        pw_main_loop_quit(m_loop);
}

void PipeWireInput::OnTimeout(void* input, uint64_t) {
    static_cast<PipeWireInput*>(input)->Quit();
}

void PipeWireInput::OnStateChanged(void* input, pw_stream_state, pw_stream_state state,
                                   const char* error) {
    auto* self = static_cast<PipeWireInput*>(input);
    if (state != PW_STREAM_STATE_ERROR)
        return;
    self->m_error = error ? error : "the stream failed";
    self->Quit();
}

void PipeWireInput::OnParamChanged(void* input, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireInput*>(input);
    if (id != SPA_PARAM_Format || !param)
        return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video)
        return;
    spa_rectangle size{0, 0};
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
        spa_video_info_mjpg info{};
        if (spa_format_video_mjpg_parse(param, &info) >= 0)
            size = info.size;
    } else if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) >= 0)
            size = info.size;
    }
    self->m_width = static_cast<int>(size.width);
    self->m_height = static_cast<int>(size.height);
    std::fprintf(stderr, "cvl-bench-consumer: negotiated %s %dx%d\n",
                 mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg ? "MJPG" : "raw", self->m_width,
                 self->m_height);
}

void PipeWireInput::OnProcess(void* input) {
    auto* self = static_cast<PipeWireInput*>(input);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->m_stream);
    if (!buffer)
        return;
    spa_buffer* spa = buffer->buffer;
    const spa_data& data = spa->datas[0];
    if (data.data && data.chunk->size > 0 && !(data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) {
        InputFrame frame;
        const uint32_t offset = data.chunk->offset % data.maxsize;
        frame.data = static_cast<const uint8_t*>(data.data) + offset;
        frame.size = std::min<size_t>(data.chunk->size, data.maxsize - offset);
        frame.width = self->m_width;
        frame.height = self->m_height;
        frame.stride = data.chunk->stride > 0 ? static_cast<size_t>(data.chunk->stride) : 0;
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header))))
            frame.pts = header->pts;
        self->m_handler(self->m_context, frame);
    }
    pw_stream_queue_buffer(self->m_stream, buffer);
}

bool PipeWireInput::Run(const std::string& target, double seconds, std::string& error) {
    m_loop = pw_main_loop_new(nullptr);
    if (!m_loop) {
        error = "cannot make a PipeWire loop";
        return false;
    }
    pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                  "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                                  PW_KEY_TARGET_OBJECT, target.c_str(), nullptr);
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = OnStateChanged;
        e.param_changed = OnParamChanged;
        e.process = OnProcess;
        return e;
    }();
    m_stream = pw_stream_new_simple(pw_main_loop_get_loop(m_loop), "cvl-bench-consumer", properties,
                                    &events, this);
    if (!m_stream) {
        error = "cannot make a PipeWire stream";
        return false;
    }

    uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_rectangle defaultSize{960, 640}, minSize{1, 1}, maxSize{8192, 8192};
    const spa_fraction defaultRate{30, 1}, minRate{0, 1}, maxRate{1000, 1};
    const spa_pod* param = nullptr;
    if (m_format == InputFormat::Mjpg)
        param = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg), SPA_FORMAT_VIDEO_size,
            SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));
    else
        param = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_Id(RawFormat(m_format)), SPA_FORMAT_VIDEO_size,
            SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));
    const int result = pw_stream_connect(
        m_stream, PW_DIRECTION_INPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        &param, 1);
    if (result < 0) {
        error = std::string("cannot connect the stream: ") + spa_strerror(result);
        return false;
    }
    spa_source* timer = pw_loop_add_timer(pw_main_loop_get_loop(m_loop), OnTimeout, this);
    timespec value{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
    timespec none{0, 0};
    pw_loop_update_timer(pw_main_loop_get_loop(m_loop), timer, &value, &none, false);
    pw_main_loop_run(m_loop);
    pw_loop_destroy_source(pw_main_loop_get_loop(m_loop), timer);
    error = m_error;
    return m_error.empty();
}

} // namespace cvl::bench
