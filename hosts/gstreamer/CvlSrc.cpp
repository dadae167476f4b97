#include "CvlSrc.h"

#include "EvfFrame.h"
#include "cvlhost/SharedStream.h"

#include <chrono>
#include <memory>
#include <new>
#include <pthread.h>

GST_DEBUG_CATEGORY(cvl_src_debug);
#define GST_CAT_DEFAULT cvl_src_debug

using cvl::host::CapturedFrame;
using cvl::host::CaptureSettings;
using cvl::host::FrameCapture;
using cvl::host::FrameKind;
using cvl::host::SharedStream;
using cvl::host::StreamState;

namespace {

constexpr CvlSrcMode kDefaultMode = CVL_SRC_MODE_PORT;
constexpr gboolean kDefaultStartSandbox = FALSE;
constexpr gint kDefaultFpsN = 30;
constexpr gint kDefaultFpsD = 1;
constexpr gboolean kDefaultStatusFrames = TRUE;

enum {
    PROP_0,
    PROP_MODE,
    PROP_START_SANDBOX,
    PROP_FRAMERATE,
    PROP_STATUS_FRAMES,
};

GstStaticPadTemplate g_srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("image/jpeg, width = (int) [ 1, 65535 ], "
                                            "height = (int) [ 1, 65535 ], "
                                            "framerate = (fraction) [ 1/1, 240/1 ]"));

} // namespace

struct _CvlSrc {
    GstPushSrc parent;

    // Guards the properties, the capture pointer, clockId and flushing (a
    // POSIX mutex, which the thread checkers see, rather than the object lock).
    pthread_mutex_t lock;

    // Properties.
    CvlSrcMode mode;
    gboolean startSandbox;
    gint fpsN;
    gint fpsD;
    gboolean statusFrames;

    // Between start and stop: this element's hold on the process's stream.
    SharedStream* capture;

    // Streaming thread state, reset by start.
    GstClockTime nextTick; // running time of the next output tick
    GstClockTime lastPts;
    uint64_t lastSequence; // the last frame handed out (or passed over)
    guint64 buffersOut;
    int width; // the size in the current caps, 0 before the first
    int height;
    gint capsFpsN;
    gint capsFpsD;

    // Unlock support.
    GstClockID clockId;
    gboolean flushing;
};

G_DEFINE_TYPE(CvlSrc, cvl_src, GST_TYPE_PUSH_SRC)

GType cvl_src_mode_get_type(void) {
    static GType type = 0;
    static const GEnumValue values[] = {
        {CVL_SRC_MODE_PORT, "Frames over the client's frame port", "port"},
        {CVL_SRC_MODE_SANDBOX, "Frames from the sandbox frame files", "sandbox"},
        {0, nullptr, nullptr},
    };
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("CvlSrcMode", values));
    return type;
}

static void cvl_src_kind_changed(CvlSrc* self, FrameKind kind, StreamState state) {
    GST_INFO_OBJECT(self, "now %s frames, %s", cvl::host::KindName(kind),
                    cvl::host::StateText(state));
    GstStructure* structure =
        gst_structure_new(CVL_SRC_STATUS_MESSAGE, "live", G_TYPE_BOOLEAN, kind == FrameKind::Live,
                          "status", G_TYPE_STRING, cvl::host::KindName(kind), "state",
                          G_TYPE_STRING, cvl::host::StateText(state), nullptr);
    gst_element_post_message(GST_ELEMENT(self),
                             gst_message_new_element(GST_OBJECT(self), structure));
}

static void cvl_src_set_property(GObject* object, guint id, const GValue* value,
                                 GParamSpec* pspec) {
    CvlSrc* self = CVL_SRC(object);
    pthread_mutex_lock(&self->lock);
    switch (id) {
    case PROP_MODE:
        self->mode = static_cast<CvlSrcMode>(g_value_get_enum(value));
        break;
    case PROP_START_SANDBOX:
        self->startSandbox = g_value_get_boolean(value);
        break;
    case PROP_FRAMERATE:
        self->fpsN = gst_value_get_fraction_numerator(value);
        self->fpsD = gst_value_get_fraction_denominator(value);
        break;
    case PROP_STATUS_FRAMES:
        self->statusFrames = g_value_get_boolean(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        break;
    }
    pthread_mutex_unlock(&self->lock);
}

static void cvl_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    CvlSrc* self = CVL_SRC(object);
    pthread_mutex_lock(&self->lock);
    switch (id) {
    case PROP_MODE:
        g_value_set_enum(value, self->mode);
        break;
    case PROP_START_SANDBOX:
        g_value_set_boolean(value, self->startSandbox);
        break;
    case PROP_FRAMERATE:
        gst_value_set_fraction(value, self->fpsN, self->fpsD);
        break;
    case PROP_STATUS_FRAMES:
        g_value_set_boolean(value, self->statusFrames);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        break;
    }
    pthread_mutex_unlock(&self->lock);
}

static gboolean cvl_src_start(GstBaseSrc* base) {
    CvlSrc* self = CVL_SRC(base);
    CaptureSettings settings;
    pthread_mutex_lock(&self->lock);
    settings.sandbox = self->mode == CVL_SRC_MODE_SANDBOX;
    settings.startSandbox = self->startSandbox;
    self->capsFpsN = self->fpsN;
    self->capsFpsD = self->fpsD;
    self->flushing = FALSE;
    pthread_mutex_unlock(&self->lock);
    self->nextTick = GST_CLOCK_TIME_NONE;
    self->lastPts = GST_CLOCK_TIME_NONE;
    self->lastSequence = 0;
    self->buffersOut = 0;
    self->width = 0;
    self->height = 0;
    SharedStream* capture =
        new (std::nothrow) SharedStream(settings, [self](FrameKind kind, StreamState state) {
            cvl_src_kind_changed(self, kind, state);
        });
    if (capture && !capture->Attached()) {
        delete capture;
        GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ,
                          ("another element of this process streams in %s mode",
                           settings.sandbox ? "port" : "sandbox"),
                          ("a process holds one client stream; give every cvlsrc in it the same "
                           "mode and start-sandbox"));
        return FALSE;
    }
    pthread_mutex_lock(&self->lock);
    self->capture = capture;
    pthread_mutex_unlock(&self->lock);
    if (!capture) {
        GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("cannot start the capture"), (nullptr));
        return FALSE;
    }
    GST_INFO_OBJECT(self, "started, %s mode, %d/%d fps", settings.sandbox ? "sandbox" : "port",
                    self->capsFpsN, self->capsFpsD);
    return TRUE;
}

static gboolean cvl_src_stop(GstBaseSrc* base) {
    CvlSrc* self = CVL_SRC(base);
    pthread_mutex_lock(&self->lock);
    SharedStream* capture = self->capture;
    self->capture = nullptr;
    pthread_mutex_unlock(&self->lock);
    delete capture; // the last holder ends the stream and joins the capture thread
    GST_INFO_OBJECT(self, "stopped after %" G_GUINT64_FORMAT " buffers", self->buffersOut);
    return TRUE;
}

static gboolean cvl_src_unlock(GstBaseSrc* base) {
    CvlSrc* self = CVL_SRC(base);
    pthread_mutex_lock(&self->lock);
    self->flushing = TRUE;
    if (self->clockId)
        gst_clock_id_unschedule(self->clockId);
    SharedStream* capture = self->capture;
    pthread_mutex_unlock(&self->lock);
    if (capture)
        capture->Interrupt(true);
    return TRUE;
}

static gboolean cvl_src_unlock_stop(GstBaseSrc* base) {
    CvlSrc* self = CVL_SRC(base);
    pthread_mutex_lock(&self->lock);
    self->flushing = FALSE;
    SharedStream* capture = self->capture;
    pthread_mutex_unlock(&self->lock);
    if (capture)
        capture->Interrupt(false);
    return TRUE;
}

static GstClockTime cvl_src_period(CvlSrc* self) {
    return gst_util_uint64_scale_int(GST_SECOND, self->capsFpsD, self->capsFpsN);
}

// The caps of the current size; before the first frame there are none, and
// the frame that brings the size sets them.
static gboolean cvl_src_negotiate(GstBaseSrc* base) {
    CvlSrc* self = CVL_SRC(base);
    if (self->width == 0)
        return TRUE;
    GstCaps* caps = gst_caps_new_simple("image/jpeg", "width", G_TYPE_INT, self->width, "height",
                                        G_TYPE_INT, self->height, "framerate", GST_TYPE_FRACTION,
                                        self->capsFpsN, self->capsFpsD, nullptr);
    const gboolean set = gst_base_src_set_caps(base, caps);
    gst_caps_unref(caps);
    return set;
}

static gboolean cvl_src_query(GstBaseSrc* base, GstQuery* query) {
    CvlSrc* self = CVL_SRC(base);
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        pthread_mutex_lock(&self->lock);
        const gboolean started = self->capture != nullptr;
        const GstClockTime period =
            gst_util_uint64_scale_int(GST_SECOND, self->capsFpsD ? self->capsFpsD : self->fpsD,
                                      self->capsFpsN ? self->capsFpsN : self->fpsN);
        pthread_mutex_unlock(&self->lock);
        if (!started)
            return FALSE;
        // A frame is stamped with the time the capture thread got it and
        // waits for its output tick at most one period; the element holds
        // one frame, so that is the most it adds too.
        gst_query_set_latency(query, TRUE, period, period);
        GST_DEBUG_OBJECT(self, "latency %" GST_TIME_FORMAT, GST_TIME_ARGS(period));
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(cvl_src_parent_class)->query(base, query);
}

// Now as running time of the pipeline clock, or NONE without a clock.
static GstClockTime cvl_src_running_time(CvlSrc* self) {
    GstClock* clock = gst_element_get_clock(GST_ELEMENT(self));
    if (!clock)
        return GST_CLOCK_TIME_NONE;
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(self));
    return now > base ? now - base : 0;
}

// Waits on the pipeline clock until running time target; false when
// unlocked (flushing). Without a clock there is nothing to wait for.
static gboolean cvl_src_wait_until(CvlSrc* self, GstClockTime target) {
    GstClock* clock = gst_element_get_clock(GST_ELEMENT(self));
    if (!clock)
        return TRUE;
    const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(self));
    GstClockID id = gst_clock_new_single_shot_id(clock, base + target);
    gst_object_unref(clock);
    pthread_mutex_lock(&self->lock);
    if (self->flushing) {
        pthread_mutex_unlock(&self->lock);
        gst_clock_id_unref(id);
        return FALSE;
    }
    self->clockId = id;
    pthread_mutex_unlock(&self->lock);
    const GstClockReturn result = gst_clock_id_wait(id, nullptr);
    pthread_mutex_lock(&self->lock);
    self->clockId = nullptr;
    const gboolean flushing = self->flushing;
    pthread_mutex_unlock(&self->lock);
    gst_clock_id_unref(id);
    return result != GST_CLOCK_UNSCHEDULED && !flushing;
}

static gboolean cvl_src_is_flushing(CvlSrc* self) {
    pthread_mutex_lock(&self->lock);
    const gboolean flushing = self->flushing;
    pthread_mutex_unlock(&self->lock);
    return flushing;
}

static void cvl_src_release_frame(gpointer data) {
    delete static_cast<std::shared_ptr<const EvfFrame>*>(data);
}

// Sets the caps for the frame's size when it differs from the current one.
static gboolean cvl_src_follow_size(CvlSrc* self, const CapturedFrame& frame) {
    if (frame.width == self->width && frame.height == self->height)
        return TRUE;
    GST_INFO_OBJECT(self, "frame size %dx%d (was %dx%d)", frame.width, frame.height, self->width,
                    self->height);
    self->width = frame.width;
    self->height = frame.height;
    return cvl_src_negotiate(GST_BASE_SRC(self));
}

// Picks the frame for the next output tick: a frame newer than the last one
// that comes before the end of the tick's window goes out at once, else the
// newest is repeated at the end of the window. Waits while there is nothing
// to hand out (no frame yet, or only status frames that are dropped).
static GstFlowReturn cvl_src_pick(CvlSrc* self, gboolean statusFrames, CapturedFrame& frame,
                                  bool& fresh) {
    const GstClockTime period = cvl_src_period(self);
    // The ticks keep the output rate; the window around each tick lets a
    // frame that comes shortly before or after it go out without waiting.
    const GstClockTime window = period / 4;

    GstClockTime now = cvl_src_running_time(self);
    if (!GST_CLOCK_TIME_IS_VALID(now))
        now = 0;
    if (!GST_CLOCK_TIME_IS_VALID(self->nextTick) || now > self->nextTick + period)
        self->nextTick = now; // the first buffer, or far behind: start the ticks from now
    if (self->nextTick > now + window && !cvl_src_wait_until(self, self->nextTick - window))
        return GST_FLOW_FLUSHING;

    for (;;) {
        now = cvl_src_running_time(self);
        if (!GST_CLOCK_TIME_IS_VALID(now))
            now = self->nextTick;
        const GstClockTime windowEnd = self->nextTick + window;
        const auto deadline =
            FrameCapture::Clock::now() +
            std::chrono::nanoseconds(windowEnd > now ? GST_CLOCK_DIFF(now, windowEnd) : 0);
        fresh = self->capture->WaitNewer(self->lastSequence, deadline, frame);
        if (cvl_src_is_flushing(self))
            return GST_FLOW_FLUSHING;
        if (fresh) {
            self->lastSequence = frame.sequence;
            if (statusFrames || frame.kind == FrameKind::Live)
                return GST_FLOW_OK;
            continue; // a status frame to pass over
        }
        if (self->buffersOut > 0 && self->capture->Newest(frame) &&
            frame.sequence == self->lastSequence && (statusFrames || frame.kind == FrameKind::Live))
            return GST_FLOW_OK; // the repeat
        // Nothing to hand out: wait for news, then start the ticks over.
        const auto later = FrameCapture::Clock::now() + std::chrono::milliseconds(100);
        const bool news = self->capture->WaitNewer(self->lastSequence, later, frame);
        if (cvl_src_is_flushing(self))
            return GST_FLOW_FLUSHING;
        if (news) {
            self->lastSequence = frame.sequence;
            if (statusFrames || frame.kind == FrameKind::Live) {
                fresh = true;
                now = cvl_src_running_time(self);
                self->nextTick = GST_CLOCK_TIME_IS_VALID(now) ? now : 0;
                return GST_FLOW_OK;
            }
        }
    }
}

static GstFlowReturn cvl_src_create(GstPushSrc* push, GstBuffer** out) {
    CvlSrc* self = CVL_SRC(push);
    pthread_mutex_lock(&self->lock);
    const gboolean statusFrames = self->statusFrames;
    pthread_mutex_unlock(&self->lock);
    const GstClockTime period = cvl_src_period(self);

    CapturedFrame frame;
    bool fresh = false;
    for (;;) {
        const GstFlowReturn picked = cvl_src_pick(self, statusFrames, frame, fresh);
        if (picked != GST_FLOW_OK)
            return picked;
        if (frame.width > 0 && frame.height > 0)
            break;
        // No readable size: the frame goes out under the current caps; before
        // the first caps it is passed over.
        if (self->width > 0) {
            frame.width = self->width;
            frame.height = self->height;
            break;
        }
        GST_WARNING_OBJECT(self, "frame without a readable size passed over");
        self->nextTick += period;
    }
    if (!cvl_src_follow_size(self, frame)) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                          ("downstream refuses %dx%d", frame.width, frame.height), (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }

    const EvfFrame& bytes = *frame.frame;
    GstBuffer* buffer = gst_buffer_new_wrapped_full(
        GST_MEMORY_FLAG_READONLY, bytes.GetBuf(), static_cast<gsize>(bytes.GetBufSize()), 0,
        static_cast<gsize>(bytes.GetBufSize()), new std::shared_ptr<const EvfFrame>(frame.frame),
        &cvl_src_release_frame);

    if (gst_base_src_get_do_timestamp(GST_BASE_SRC(self))) {
        const GstClockTime now = cvl_src_running_time(self);
        GstClockTime pts = now;
        if (fresh && GST_CLOCK_TIME_IS_VALID(now)) {
            // The running time at which the capture thread got the frame.
            const auto age = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 FrameCapture::Clock::now() - frame.captured)
                                 .count();
            pts = static_cast<GstClockTime>(age) < now ? now - static_cast<GstClockTime>(age) : 0;
        }
        if (GST_CLOCK_TIME_IS_VALID(pts) && GST_CLOCK_TIME_IS_VALID(self->lastPts) &&
            pts <= self->lastPts)
            pts = self->lastPts + 1;
        GST_BUFFER_PTS(buffer) = pts;
        GST_BUFFER_DTS(buffer) = pts;
        self->lastPts = pts;
    }
    GST_BUFFER_DURATION(buffer) = period;
    GST_BUFFER_OFFSET(buffer) = self->buffersOut;
    GST_BUFFER_OFFSET_END(buffer) = self->buffersOut + 1;
    ++self->buffersOut;
    self->nextTick += period;
    *out = buffer;
    return GST_FLOW_OK;
}

static void cvl_src_finalize(GObject* object) {
    CvlSrc* self = CVL_SRC(object);
    delete self->capture;
    self->capture = nullptr;
    pthread_mutex_destroy(&self->lock);
    G_OBJECT_CLASS(cvl_src_parent_class)->finalize(object);
}

static void cvl_src_class_init(CvlSrcClass* klass) {
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* baseClass = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass* pushClass = GST_PUSH_SRC_CLASS(klass);

    objectClass->set_property = cvl_src_set_property;
    objectClass->get_property = cvl_src_get_property;
    objectClass->finalize = cvl_src_finalize;

    const GParamFlags flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                       GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(
        objectClass, PROP_MODE,
        g_param_spec_enum("mode", "Mode",
                          "How frames come from the service: over this process's frame port "
                          "(port) or from the sandbox frame files (sandbox)",
                          CVL_TYPE_SRC_MODE, kDefaultMode, flags));
    g_object_class_install_property(
        objectClass, PROP_START_SANDBOX,
        g_param_spec_boolean("start-sandbox", "Start sandbox stream",
                             "Ask the service for a sandbox stream at start and end it at stop "
                             "(with mode=sandbox, when no other process asks for it)",
                             kDefaultStartSandbox, flags));
    g_object_class_install_property(
        objectClass, PROP_FRAMERATE,
        gst_param_spec_fraction("framerate", "Frame rate",
                                "Output frame rate: the newest frame goes out at every tick, "
                                "repeated when nothing newer came",
                                1, 1, 240, 1, kDefaultFpsN, kDefaultFpsD, flags));
    g_object_class_install_property(
        objectClass, PROP_STATUS_FRAMES,
        g_param_spec_boolean("status-frames", "Status frames",
                             "Pass on the service's status pictures (waiting, camera busy, no "
                             "camera); when false only live frames flow",
                             kDefaultStatusFrames, flags));

    gst_element_class_set_static_metadata(
        elementClass, "Corvalink camera source", "Source/Video",
        "Live-view JPEG frames of the camera that the Corvalink service drives",
        "Corvalink developers");
    gst_element_class_add_static_pad_template(elementClass, &g_srcTemplate);

    baseClass->start = cvl_src_start;
    baseClass->stop = cvl_src_stop;
    baseClass->unlock = cvl_src_unlock;
    baseClass->unlock_stop = cvl_src_unlock_stop;
    baseClass->negotiate = cvl_src_negotiate;
    baseClass->query = cvl_src_query;
    pushClass->create = cvl_src_create;

    gst_type_mark_as_plugin_api(CVL_TYPE_SRC_MODE, static_cast<GstPluginAPIFlags>(0));
}

static void cvl_src_init(CvlSrc* self) {
    pthread_mutex_init(&self->lock, nullptr);
    self->mode = kDefaultMode;
    self->startSandbox = kDefaultStartSandbox;
    self->fpsN = kDefaultFpsN;
    self->fpsD = kDefaultFpsD;
    self->statusFrames = kDefaultStatusFrames;
    self->capture = nullptr;
    self->clockId = nullptr;
    self->flushing = FALSE;
    self->capsFpsN = kDefaultFpsN;
    self->capsFpsD = kDefaultFpsD;
    self->width = 0;
    self->height = 0;
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
    // A live source stamps its buffers with the running time of capture.
    gst_base_src_set_do_timestamp(GST_BASE_SRC(self), TRUE);
}

static gboolean cvl_src_plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(cvl_src_debug, "cvlsrc", 0, "Corvalink camera source");
    return gst_element_register(plugin, "cvlsrc", GST_RANK_NONE, CVL_TYPE_SRC);
}

#define PACKAGE "corvalink"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, cvlsrc,
                  "Live video from the camera that the Corvalink service drives",
                  cvl_src_plugin_init, CVL_VERSION, "Proprietary", "Corvalink",
                  "https://corvalink.invalid/")
