#include "NodeConsumer.h"

#include "GstTestSupport.h"
#include "TestSupport.h"
#include "cvlhost/FrameStamp.h"
#include "cvlhost/JpegHeader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace cvl::test {

namespace {

// An I420 frame as RGB (BT.601, limited range), at the size whose frame
// length equals length; empty when none does.
Picture FromI420(const uint8_t* data, size_t length,
                 const std::vector<std::pair<int, int>>& sizes) {
    Picture picture;
    for (const auto& [width, height] : sizes) {
        if (static_cast<size_t>(width) * height * 3 / 2 != length)
            continue;
        picture.width = width;
        picture.height = height;
        picture.rgb.resize(static_cast<size_t>(width) * height * 3);
        const uint8_t* u = data + static_cast<size_t>(width) * height;
        const uint8_t* v = u + static_cast<size_t>(width / 2) * (height / 2);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const double luma = 1.164 * (data[static_cast<size_t>(y) * width + x] - 16);
                const size_t c = static_cast<size_t>(y / 2) * (width / 2) + x / 2;
                const double cb = u[c] - 128;
                const double cr = v[c] - 128;
                auto clamp = [](double value) {
                    return static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
                };
                unsigned char* out = &picture.rgb[(static_cast<size_t>(y) * width + x) * 3];
                out[0] = clamp(luma + 1.596 * cr);
                out[1] = clamp(luma - 0.392 * cb - 0.813 * cr);
                out[2] = clamp(luma + 2.017 * cb);
            }
        }
        break;
    }
    return picture;
}

} // namespace

NodeConsumer::NodeConsumer(const std::string& caps, bool stalled) {
    InitGStreamer();
    const bool jpeg = caps.rfind("image/jpeg", 0) == 0;
    // WirePlumber links a stream to the default camera only when it says it
    // is a video capture stream. always-copy, as below, except for a stalled
    // consumer: it is there to hold the node's own buffers.
    const std::string description =
        std::string("pipewiresrc name=src ") + (stalled ? "" : "always-copy=true ") +
        "stream-properties=\"props,media.type=Video,media.category=Capture,media.role=Camera\" "
        "! " +
        caps + (jpeg ? " ! jpegdec" : "") +
        " ! videoconvert ! video/x-raw,format=RGB ! appsink name=sink sync=false " +
        (stalled ? "max-buffers=1 drop=false" : "max-buffers=2 drop=true");
    Build(description, !stalled);
}

NodeConsumer::NodeConsumer(const std::vector<std::pair<int, int>>& sizes) : m_sizes(sizes) {
    InitGStreamer();
    // always-copy: pipewiresrc 0.3.65 hands on PipeWire's buffer memory, which
    // a renegotiation unmaps while the buffer may still be read here.
    Build("pipewiresrc name=src always-copy=true "
          "stream-properties=\"props,media.type=Video,media.category=Capture,media.role=Camera\" "
          "! video/x-raw,format=I420 ! appsink name=sink sync=false max-buffers=2 drop=true",
          true);
}

void NodeConsumer::Build(const std::string& description, bool read) {
    GError* error = nullptr;
    m_pipeline = gst_parse_launch(description.c_str(), &error);
    if (error) {
        ADD_FAILURE() << description << ": " << error->message;
        g_error_free(error);
        if (m_pipeline)
            gst_object_unref(m_pipeline);
        m_pipeline = nullptr;
        return;
    }
    if (read) {
        GstElement* sink = gst_bin_get_by_name(GST_BIN(m_pipeline), "sink");
        g_object_set(sink, "emit-signals", TRUE, nullptr);
        g_signal_connect(sink, "new-sample", G_CALLBACK(&NodeConsumer::NewSample), this);
        gst_object_unref(sink);
    }
    GstElement* source = gst_bin_get_by_name(GST_BIN(m_pipeline), "src");
    GstPad* pad = gst_element_get_static_pad(source, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &NodeConsumer::SourceBuffer, this, nullptr);
    gst_object_unref(pad);
    gst_object_unref(source);
}

NodeConsumer::~NodeConsumer() {
    if (!m_pipeline)
        return;
    Stop();
    gst_object_unref(m_pipeline);
}

bool NodeConsumer::Play() {
    return m_pipeline &&
           gst_element_set_state(m_pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

bool NodeConsumer::Pause() {
    return m_pipeline &&
           gst_element_set_state(m_pipeline, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE;
}

void NodeConsumer::Stop() {
    if (m_pipeline)
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
}

GstPadProbeReturn NodeConsumer::SourceBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* self = static_cast<NodeConsumer*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    std::string format = "?";
    bool stamped = false;
    bool whole = true;
    uint64_t sequence = 0;
    if (caps && gst_caps_get_size(caps) > 0) {
        const GstStructure* structure = gst_caps_get_structure(caps, 0);
        if (gst_structure_has_name(structure, "image/jpeg")) {
            format = "MJPG";
            GstMapInfo map;
            if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                cvl::host::FrameStamp stamp;
                stamped = cvl::host::ReadFrameStamp(map.data, map.size, stamp);
                sequence = stamped ? stamp.sequence : 0;
                whole = cvl::host::EndsWithEndOfImage(map.data, map.size);
                gst_buffer_unmap(buffer, &map);
            }
        } else if (const char* raw = gst_structure_get_string(structure, "format")) {
            format = raw;
        }
    }
    if (caps)
        gst_caps_unref(caps);
    pthread_mutex_lock(&self->m_mutex);
    ++self->m_sourceBuffers;
    if (std::find(self->m_sourceFormats.begin(), self->m_sourceFormats.end(), format) ==
        self->m_sourceFormats.end())
        self->m_sourceFormats.push_back(format);
    self->m_format = format;
    self->m_lastStamped = stamped;
    self->m_lastWhole = whole;
    self->m_lastSequence = sequence;
    pthread_mutex_unlock(&self->m_mutex);
    return GST_PAD_PROBE_OK;
}

namespace {

void MeanColour(const Picture& picture, Consumed& record) {
    const size_t pixels = picture.rgb.size() / 3;
    if (pixels == 0)
        return;
    uint64_t sums[3] = {0, 0, 0};
    for (size_t i = 0; i < pixels * 3; ++i)
        sums[i % 3] += picture.rgb[i];
    record.red = static_cast<double>(sums[0]) / pixels;
    record.green = static_cast<double>(sums[1]) / pixels;
    record.blue = static_cast<double>(sums[2]) / pixels;
}

} // namespace

GstFlowReturn NodeConsumer::NewSample(GstElement* sink, gpointer data) {
    auto* self = static_cast<NodeConsumer*>(data);
    GstSample* sample = nullptr;
    g_signal_emit_by_name(sink, "pull-sample", &sample);
    if (!sample)
        return GST_FLOW_ERROR;
    Consumed record;
    record.at = std::chrono::steady_clock::now();
    Picture picture;
    GstCaps* caps = gst_sample_get_caps(sample);
    if (caps && gst_caps_get_size(caps) > 0) {
        const GstStructure* structure = gst_caps_get_structure(caps, 0);
        gst_structure_get_int(structure, "width", &record.width);
        gst_structure_get_int(structure, "height", &record.height);
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (!self->m_sizes.empty()) {
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            picture = FromI420(map.data, map.size, self->m_sizes);
            gst_buffer_unmap(buffer, &map);
        }
        record.width = picture.width;
        record.height = picture.height;
        gst_sample_unref(sample);
        record.shown = picture.Empty() ? Shown::Other : Classify(picture);
        pthread_mutex_lock(&self->m_mutex);
        record.format = self->m_format;
        self->m_frames.push_back(record);
        pthread_mutex_unlock(&self->m_mutex);
        return GST_FLOW_OK;
    }
    const size_t stride = (static_cast<size_t>(record.width) * 3 + 3) / 4 * 4;
    if (record.width > 0 && record.height > 0 && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        if (map.size >= stride * static_cast<size_t>(record.height)) {
            picture.width = record.width;
            picture.height = record.height;
            picture.rgb.resize(static_cast<size_t>(record.width) * record.height * 3);
            for (int y = 0; y < record.height; ++y)
                std::copy_n(map.data + stride * y, static_cast<size_t>(record.width) * 3,
                            picture.rgb.data() + static_cast<size_t>(y) * record.width * 3);
        }
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    record.shown = picture.Empty() ? Shown::Other : Classify(picture);
    MeanColour(picture, record);
    pthread_mutex_lock(&self->m_mutex);
    record.format = self->m_format;
    record.stamped = self->m_lastStamped;
    record.whole = self->m_lastWhole;
    record.sequence = self->m_lastSequence;
    self->m_frames.push_back(record);
    pthread_mutex_unlock(&self->m_mutex);
    return GST_FLOW_OK;
}

std::vector<Consumed> NodeConsumer::Frames() {
    pthread_mutex_lock(&m_mutex);
    std::vector<Consumed> copy = m_frames;
    pthread_mutex_unlock(&m_mutex);
    return copy;
}

size_t NodeConsumer::Count() {
    pthread_mutex_lock(&m_mutex);
    const size_t count = m_frames.size();
    pthread_mutex_unlock(&m_mutex);
    return count;
}

size_t NodeConsumer::SourceBuffers() {
    pthread_mutex_lock(&m_mutex);
    const size_t count = m_sourceBuffers;
    pthread_mutex_unlock(&m_mutex);
    return count;
}

std::vector<std::string> NodeConsumer::SourceFormats() {
    pthread_mutex_lock(&m_mutex);
    std::vector<std::string> formats = m_sourceFormats;
    pthread_mutex_unlock(&m_mutex);
    return formats;
}

std::string NodeConsumer::Error() {
    if (!m_pipeline)
        return "no pipeline";
    GstBus* bus = gst_element_get_bus(m_pipeline);
    std::string text;
    while (GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        if (error) {
            text += std::string(error->message) + "\n";
            g_error_free(error);
        }
        gst_message_unref(message);
    }
    gst_object_unref(bus);
    return text;
}

bool NodeConsumer::WaitFor(const std::function<bool(const std::vector<Consumed>&)>& condition,
                           std::chrono::milliseconds timeout) {
    return cvl::test::WaitFor([&] { return condition(Frames()); }, timeout);
}

bool NodeConsumer::WaitForShown(Shown shown, size_t after, std::chrono::milliseconds timeout) {
    return WaitFor(
        [&](const std::vector<Consumed>& frames) {
            for (size_t i = after; i < frames.size(); ++i) {
                if (frames[i].shown == shown)
                    return true;
            }
            return false;
        },
        timeout);
}

} // namespace cvl::test
