#include "StreamJoiner.h"

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace cvl::test {

StreamJoiner::StreamJoiner(bool mjpg) : m_mjpg(mjpg) {
    pw_init(nullptr, nullptr);
}

StreamJoiner::~StreamJoiner() {
    if (!m_loop)
        return;
    pw_thread_loop_lock(m_loop);
    if (m_stream)
        pw_stream_destroy(m_stream);
    pw_thread_loop_unlock(m_loop);
    pw_thread_loop_stop(m_loop);
    pw_thread_loop_destroy(m_loop);
}

bool StreamJoiner::Start() {
    m_loop = pw_thread_loop_new("joiner", nullptr);
    if (!m_loop || pw_thread_loop_start(m_loop) < 0)
        return false;
    static const pw_stream_events events = [] {
        pw_stream_events value{};
        value.version = PW_VERSION_STREAM_EVENTS;
        value.param_changed = &StreamJoiner::OnParamChanged;
        value.process = &StreamJoiner::OnProcess;
        return value;
    }();
    pw_thread_loop_lock(m_loop);
    m_stream =
        pw_stream_new_simple(pw_thread_loop_get_loop(m_loop), "joiner",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_MEDIA_ROLE, "Camera", nullptr),
                             &events, this);
    bool connected = false;
    if (m_stream) {
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_rectangle smallest = SPA_RECTANGLE(1, 1);
        const spa_rectangle largest = SPA_RECTANGLE(8192, 8192);
        const spa_rectangle usual = SPA_RECTANGLE(640, 480);
        const spa_fraction rate = SPA_FRACTION(30, 1);
        const spa_fraction slowest = SPA_FRACTION(0, 1);
        const spa_fraction fastest = SPA_FRACTION(1000, 1);
        const spa_pod* param = nullptr;
        if (m_mjpg)
            param = static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
                SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg), SPA_FORMAT_VIDEO_size,
                SPA_POD_CHOICE_RANGE_Rectangle(&usual, &smallest, &largest),
                SPA_FORMAT_VIDEO_framerate,
                SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)));
        else
            param = static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
                SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                SPA_POD_Id(SPA_VIDEO_FORMAT_I420), SPA_FORMAT_VIDEO_size,
                SPA_POD_CHOICE_RANGE_Rectangle(&usual, &smallest, &largest),
                SPA_FORMAT_VIDEO_framerate,
                SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)));
        const auto flags =
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
        connected =
            pw_stream_connect(m_stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, &param, 1) >= 0;
    }
    pw_thread_loop_unlock(m_loop);
    return connected;
}

void StreamJoiner::OnParamChanged(void* joiner, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<StreamJoiner*>(joiner);
    if (id != SPA_PARAM_Format)
        return;
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    if (!param || spa_format_parse(param, &mediaType, &mediaSubtype) < 0) {
        self->m_format.clear();
        self->m_foreign = false;
        return;
    }
    std::string format = "other";
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
        format = "MJPG";
    } else if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) >= 0)
            format = info.format == SPA_VIDEO_FORMAT_I420 ? "I420" : "raw";
    }
    self->m_format = format;
    self->m_foreign = format != (self->m_mjpg ? "MJPG" : "I420");
    self->m_foreignFormats += self->m_foreign;
}

void StreamJoiner::OnProcess(void* joiner) {
    auto* self = static_cast<StreamJoiner*>(joiner);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->m_stream)) {
        ++self->m_buffers;
        self->m_foreignBuffers += self->m_foreign;
        pw_stream_queue_buffer(self->m_stream, buffer);
    }
}

template <typename T> T StreamJoiner::Read(const T& value) {
    pw_thread_loop_lock(m_loop);
    T copy = value;
    pw_thread_loop_unlock(m_loop);
    return copy;
}

size_t StreamJoiner::ForeignFormats() {
    return Read(m_foreignFormats);
}

size_t StreamJoiner::ForeignBuffers() {
    return Read(m_foreignBuffers);
}

size_t StreamJoiner::Buffers() {
    return Read(m_buffers);
}

std::string StreamJoiner::Format() {
    return Read(m_format);
}

} // namespace cvl::test
