#include "CvlSrc.h"

#include "CVLSettings.h"
#include "EvfFrame.h"
#include "cvlhost/SettingsApplier.h"
#include "cvlhost/SharedStream.h"

#define GST_USE_UNSTABLE_API
#include <gst/interfaces/photography.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <pthread.h>

GST_DEBUG_CATEGORY(cvl_src_debug);
#define GST_CAT_DEFAULT cvl_src_debug

using cvl::host::CapturedFrame;
using cvl::host::CaptureSettings;
using cvl::host::FrameCapture;
using cvl::host::FrameKind;
using cvl::host::SettingsApplier;
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
    PROP_LIVE_VIEW_SIZE,
    // The photography interface's properties follow, in its order.
    PROP_PHOTOGRAPHY,
};

enum {
    SIGNAL_FOCUS_STEP,
    SIGNAL_COUNT,
};

guint g_signals[SIGNAL_COUNT];

// The camera's white balance names for the interface's modes; null where
// the camera has none.
const char* WhiteBalanceName(GstPhotographyWhiteBalanceMode mode) {
    switch (mode) {
    case GST_PHOTOGRAPHY_WB_MODE_AUTO:
        return "auto";
    case GST_PHOTOGRAPHY_WB_MODE_DAYLIGHT:
        return "daylight";
    case GST_PHOTOGRAPHY_WB_MODE_CLOUDY:
        return "cloudy";
    case GST_PHOTOGRAPHY_WB_MODE_TUNGSTEN:
        return "tungsten";
    case GST_PHOTOGRAPHY_WB_MODE_FLUORESCENT:
        return "fluorescent";
    case GST_PHOTOGRAPHY_WB_MODE_SHADE:
        return "shade";
    default:
        return nullptr;
    }
}

// A shutter speed as the camera writes it ("1/60", "0.3", "2") in seconds;
// negative when it is none.
double ShutterSeconds(const std::string& text) {
    const size_t slash = text.find('/');
    char* end = nullptr;
    const double first = std::strtod(text.c_str(), &end);
    if (slash == std::string::npos)
        return end && *end == '\0' && first > 0 ? first : -1;
    const double second = std::strtod(text.c_str() + slash + 1, &end);
    return end && *end == '\0' && first > 0 && second > 0 ? first / second : -1;
}

// The camera's shutter speed nearest to milliseconds (on a log scale: one
// stop is as far as another); written in seconds when the camera's list is
// not to be had, for the service to judge.
std::string NearestShutter(guint milliseconds) {
    const double wanted = milliseconds / 1000.0;
    CVLSettings settings;
    CVLSetting shutter;
    std::string error;
    std::string nearest;
    if (settings.Get("shutter-speed", shutter, error)) {
        double best = 0;
        for (const std::string& allowed : shutter.allowed) {
            const double seconds = ShutterSeconds(allowed);
            const double distance = std::fabs(std::log(seconds / wanted));
            if (seconds > 0 && (nearest.empty() || distance < best)) {
                nearest = allowed;
                best = distance;
            }
        }
    }
    if (!nearest.empty())
        return nearest;
    char text[32];
    if (milliseconds >= 1000)
        std::snprintf(text, sizeof text, "%g", wanted);
    else
        std::snprintf(text, sizeof text, "1/%d",
                      static_cast<int>(std::lround(1000.0 / milliseconds)));
    return text;
}

// The camera's current value of a setting, "" when it cannot be had.
std::string CurrentValue(const char* name) {
    CVLSettings settings;
    CVLSetting setting;
    std::string error;
    return settings.Get(name, setting, error) ? setting.value : std::string();
}

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
    // Guards the settings below and the worker; apart from lock, since
    // settings ask the service, and the streaming thread must not wait for that.
    pthread_mutex_t settingsLock;
    // The values last asked for, given back while the camera cannot be asked.
    gchar* liveViewSize;
    guint isoSpeed;
    guint aperture;
    guint exposureTime;
    gfloat evCompensation;
    gfloat zoom;
    GstPhotographyWhiteBalanceMode whiteBalance;

    // Carries out setting changes; made at the first change.
    SettingsApplier* settings;

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

static void cvl_src_photography_init(GstPhotographyInterface* iface);

G_DEFINE_TYPE_WITH_CODE(CvlSrc, cvl_src, GST_TYPE_PUSH_SRC,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_PHOTOGRAPHY, cvl_src_photography_init))

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

// Queues a change for the applier, made on first use. Called with
// settingsLock.
static void cvl_src_change(CvlSrc* self, const std::string& name, const std::string& value,
                           bool action) {
    if (!self->settings) {
        self->settings = new SettingsApplier([self](const std::string& change,
                                                    const std::string& error) {
            GST_ELEMENT_WARNING(
                self, RESOURCE, SETTINGS,
                ("The camera did not take \"%s\": %s", change.c_str(), error.c_str()), (nullptr));
        });
        if (!self->settings->Start())
            GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS,
                                ("Cannot start the camera settings thread"), (nullptr));
    }
    std::string refusal;
    if (!action)
        self->settings->Set(name, value);
    else if (!self->settings->Act(name, refusal))
        GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS,
                            ("The camera did not take \"%s\": %s", name.c_str(), refusal.c_str()),
                            (nullptr));
}

static std::string cvl_src_format(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Sets one of the photography interface's properties; false for those that
// the camera has no setting for.
static bool cvl_src_set_photography(CvlSrc* self, const GParamSpec* pspec, const GValue* value) {
    const std::string name = pspec->name;
    if (name == GST_PHOTOGRAPHY_PROP_ISO_SPEED) {
        self->isoSpeed = g_value_get_uint(value);
        cvl_src_change(self, "iso", self->isoSpeed ? std::to_string(self->isoSpeed) : "auto",
                       false);
    } else if (name == GST_PHOTOGRAPHY_PROP_APERTURE) {
        // Tenths of the f-number: 56 is f/5.6.
        self->aperture = g_value_get_uint(value);
        cvl_src_change(self, "aperture", cvl_src_format("%g", self->aperture / 10.0), false);
    } else if (name == GST_PHOTOGRAPHY_PROP_EXPOSURE_TIME) {
        self->exposureTime = g_value_get_uint(value);
        if (self->exposureTime == 0)
            return false;
        cvl_src_change(self, "shutter-speed", NearestShutter(self->exposureTime), false);
    } else if (name == GST_PHOTOGRAPHY_PROP_EV_COMP) {
        self->evCompensation = g_value_get_float(value);
        cvl_src_change(self, "exposure-compensation", cvl_src_format("%+.1f", self->evCompensation),
                       false);
    } else if (name == GST_PHOTOGRAPHY_PROP_WB_MODE) {
        self->whiteBalance = static_cast<GstPhotographyWhiteBalanceMode>(g_value_get_enum(value));
        const char* camera = WhiteBalanceName(self->whiteBalance);
        if (!camera)
            return false;
        cvl_src_change(self, "white-balance", camera, false);
    } else if (name == GST_PHOTOGRAPHY_PROP_ZOOM) {
        self->zoom = g_value_get_float(value);
        cvl_src_change(self, "zoom " + cvl_src_format("%g", self->zoom), "", true);
    } else {
        return false;
    }
    return true;
}

// Reads one of the photography interface's properties: the camera's value
// where it can be had, else the last one asked for.
static void cvl_src_get_photography(CvlSrc* self, const GParamSpec* pspec, GValue* value) {
    const std::string name = pspec->name;
    if (name == GST_PHOTOGRAPHY_PROP_CAPABILITIES) {
        g_value_set_ulong(value, GST_PHOTOGRAPHY_CAPS_EV_COMP | GST_PHOTOGRAPHY_CAPS_ISO_SPEED |
                                     GST_PHOTOGRAPHY_CAPS_WB_MODE | GST_PHOTOGRAPHY_CAPS_ZOOM |
                                     GST_PHOTOGRAPHY_CAPS_FOCUS | GST_PHOTOGRAPHY_CAPS_APERTURE |
                                     GST_PHOTOGRAPHY_CAPS_EXPOSURE);
    } else if (name == GST_PHOTOGRAPHY_PROP_ISO_SPEED) {
        const std::string current = CurrentValue("iso");
        g_value_set_uint(value, current.empty() ? self->isoSpeed
                                                : static_cast<guint>(std::atoi(current.c_str())));
    } else if (name == GST_PHOTOGRAPHY_PROP_APERTURE) {
        const std::string current = CurrentValue("aperture");
        g_value_set_uint(value,
                         current.empty()
                             ? self->aperture
                             : static_cast<guint>(std::lround(std::atof(current.c_str()) * 10)));
    } else if (name == GST_PHOTOGRAPHY_PROP_EXPOSURE_TIME) {
        const double seconds = ShutterSeconds(CurrentValue("shutter-speed"));
        g_value_set_uint(value, seconds < 0 ? self->exposureTime
                                            : static_cast<guint>(std::lround(seconds * 1000)));
    } else if (name == GST_PHOTOGRAPHY_PROP_EV_COMP) {
        const std::string current = CurrentValue("exposure-compensation");
        g_value_set_float(value, current.empty() ? self->evCompensation
                                                 : static_cast<gfloat>(std::atof(current.c_str())));
    } else if (name == GST_PHOTOGRAPHY_PROP_ZOOM) {
        const std::string current = CurrentValue("zoom");
        g_value_set_float(value, current.empty() ? self->zoom
                                                 : static_cast<gfloat>(std::atof(current.c_str())));
    } else if (name == GST_PHOTOGRAPHY_PROP_WB_MODE) {
        const std::string current = CurrentValue("white-balance");
        GstPhotographyWhiteBalanceMode mode = self->whiteBalance;
        for (int candidate = GST_PHOTOGRAPHY_WB_MODE_AUTO;
             candidate <= GST_PHOTOGRAPHY_WB_MODE_SHADE; ++candidate) {
            const char* known =
                WhiteBalanceName(static_cast<GstPhotographyWhiteBalanceMode>(candidate));
            if (known && current == known)
                mode = static_cast<GstPhotographyWhiteBalanceMode>(candidate);
        }
        g_value_set_enum(value, mode);
    } else {
        g_param_value_set_default(const_cast<GParamSpec*>(pspec), value);
    }
}

static void cvl_src_set_property(GObject* object, guint id, const GValue* value,
                                 GParamSpec* pspec) {
    CvlSrc* self = CVL_SRC(object);
    if (id == PROP_LIVE_VIEW_SIZE) {
        pthread_mutex_lock(&self->settingsLock);
        g_free(self->liveViewSize);
        self->liveViewSize = g_value_dup_string(value);
        if (self->liveViewSize)
            cvl_src_change(self, "live-view-size", self->liveViewSize, false);
        pthread_mutex_unlock(&self->settingsLock);
        return;
    }
    if (id >= PROP_PHOTOGRAPHY) {
        pthread_mutex_lock(&self->settingsLock);
        if (!cvl_src_set_photography(self, pspec, value))
            GST_WARNING_OBJECT(self, "the camera has no setting for %s", pspec->name);
        pthread_mutex_unlock(&self->settingsLock);
        return;
    }
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
    if (id == PROP_LIVE_VIEW_SIZE) {
        const std::string current = CurrentValue("live-view-size");
        pthread_mutex_lock(&self->settingsLock);
        g_value_set_string(value, current.empty() ? self->liveViewSize : current.c_str());
        pthread_mutex_unlock(&self->settingsLock);
        return;
    }
    if (id >= PROP_PHOTOGRAPHY) {
        pthread_mutex_lock(&self->settingsLock);
        cvl_src_get_photography(self, pspec, value);
        pthread_mutex_unlock(&self->settingsLock);
        return;
    }
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

static void cvl_src_focus_step(CvlSrc* self, gint step) {
    if (step == 0 || step < -3 || step > 3) {
        GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS,
                            ("A focus step is -3 to -1 (nearer) or 1 to 3 (farther), not %d", step),
                            (nullptr));
        return;
    }
    pthread_mutex_lock(&self->settingsLock);
    cvl_src_change(
        self, std::string(step < 0 ? "focus near " : "focus far ") + std::to_string(std::abs(step)),
        "", true);
    pthread_mutex_unlock(&self->settingsLock);
}

static void cvl_src_set_autofocus(GstPhotography* photo, gboolean on) {
    CvlSrc* self = CVL_SRC(photo);
    if (!on)
        return; // the camera focuses once and stops by itself
    pthread_mutex_lock(&self->settingsLock);
    cvl_src_change(self, "autofocus", "", true);
    pthread_mutex_unlock(&self->settingsLock);
}

static GstPhotographyCaps cvl_src_get_capabilities(GstPhotography* photo) {
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_ULONG);
    g_object_get_property(G_OBJECT(photo), GST_PHOTOGRAPHY_PROP_CAPABILITIES, &value);
    return static_cast<GstPhotographyCaps>(g_value_get_ulong(&value));
}

// The interface's calls go through the properties, so both ways of setting
// a value behave alike.
template <typename T>
static gboolean cvl_src_set_through(GstPhotography* photo, const char* name, T value) {
    g_object_set(photo, name, value, nullptr);
    return TRUE;
}

template <typename T>
static gboolean cvl_src_get_through(GstPhotography* photo, const char* name, T* value) {
    g_object_get(photo, name, value, nullptr);
    return TRUE;
}

static void cvl_src_photography_init(GstPhotographyInterface* iface) {
    iface->get_capabilities = cvl_src_get_capabilities;
    iface->set_autofocus = cvl_src_set_autofocus;
    iface->set_ev_compensation = [](GstPhotography* photo, gfloat value) {
        return cvl_src_set_through(photo, GST_PHOTOGRAPHY_PROP_EV_COMP, value);
    };
    iface->get_ev_compensation = [](GstPhotography* photo, gfloat* value) {
        return cvl_src_get_through(photo, GST_PHOTOGRAPHY_PROP_EV_COMP, value);
    };
    iface->set_iso_speed = [](GstPhotography* photo, guint value) {
        return cvl_src_set_through(photo, GST_PHOTOGRAPHY_PROP_ISO_SPEED, value);
    };
    iface->get_iso_speed = [](GstPhotography* photo, guint* value) {
        return cvl_src_get_through(photo, GST_PHOTOGRAPHY_PROP_ISO_SPEED, value);
    };
    iface->set_aperture = [](GstPhotography* photo, guint value) {
        return cvl_src_set_through(photo, GST_PHOTOGRAPHY_PROP_APERTURE, value);
    };
    iface->get_aperture = [](GstPhotography* photo, guint* value) {
        return cvl_src_get_through(photo, GST_PHOTOGRAPHY_PROP_APERTURE, value);
    };
    iface->set_exposure = [](GstPhotography* photo, guint32 value) {
        return cvl_src_set_through(photo, GST_PHOTOGRAPHY_PROP_EXPOSURE_TIME, value);
    };
    iface->get_exposure = [](GstPhotography* photo, guint32* value) {
        return cvl_src_get_through(photo, GST_PHOTOGRAPHY_PROP_EXPOSURE_TIME, value);
    };
    iface->set_white_balance_mode = [](GstPhotography* photo,
                                       GstPhotographyWhiteBalanceMode value) {
        return cvl_src_set_through(photo, GST_PHOTOGRAPHY_PROP_WB_MODE, value);
    };
    iface->get_white_balance_mode = [](GstPhotography* photo,
                                       GstPhotographyWhiteBalanceMode* value) {
        return cvl_src_get_through(photo, GST_PHOTOGRAPHY_PROP_WB_MODE, value);
    };
    iface->set_zoom = [](GstPhotography* photo, gfloat value) {
        return cvl_src_set_through(photo, GST_PHOTOGRAPHY_PROP_ZOOM, value);
    };
    iface->get_zoom = [](GstPhotography* photo, gfloat* value) {
        return cvl_src_get_through(photo, GST_PHOTOGRAPHY_PROP_ZOOM, value);
    };
}

static void cvl_src_finalize(GObject* object) {
    CvlSrc* self = CVL_SRC(object);
    delete self->settings; // joins its thread before the element goes
    self->settings = nullptr;
    g_free(self->liveViewSize);
    pthread_mutex_destroy(&self->settingsLock);
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

    g_object_class_install_property(
        objectClass, PROP_LIVE_VIEW_SIZE,
        g_param_spec_string("live-view-size", "Live-view size",
                            "The camera's live-view size, WIDTHxHEIGHT (e.g. 1024x768); set in "
                            "any state, also while playing (the caps follow)",
                            nullptr,
                            static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                     GST_PARAM_MUTABLE_PLAYING)));
    // The photography interface's properties, whichever its version has.
    gpointer photography = g_type_default_interface_ref(GST_TYPE_PHOTOGRAPHY);
    guint count = 0;
    GParamSpec** specs = g_object_interface_list_properties(photography, &count);
    for (guint i = 0; i < count; ++i)
        g_object_class_override_property(objectClass, PROP_PHOTOGRAPHY + i, specs[i]->name);
    g_free(specs);
    g_type_default_interface_unref(photography);

    // "focus-step": one step of the focus drive, -3 to -1 nearer (-3 the
    // largest), 1 to 3 farther.
    g_signals[SIGNAL_FOCUS_STEP] = g_signal_new_class_handler(
        "focus-step", G_TYPE_FROM_CLASS(klass),
        static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
        G_CALLBACK(cvl_src_focus_step), nullptr, nullptr, nullptr, G_TYPE_NONE, 1, G_TYPE_INT);

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
    pthread_mutex_init(&self->settingsLock, nullptr);
    self->mode = kDefaultMode;
    self->startSandbox = kDefaultStartSandbox;
    self->fpsN = kDefaultFpsN;
    self->fpsD = kDefaultFpsD;
    self->statusFrames = kDefaultStatusFrames;
    self->liveViewSize = nullptr;
    self->isoSpeed = 0;
    self->aperture = 0;
    self->exposureTime = 0;
    self->evCompensation = 0;
    self->zoom = 1;
    self->whiteBalance = GST_PHOTOGRAPHY_WB_MODE_AUTO;
    self->settings = nullptr;
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
#ifdef CVL_PACKAGE_ROOT
    // The package's element, in the system's plug-in folder, belongs to the
    // package's installation, but the program that loads it was not started
    // by one of the package's starters, which set CVL_ROOT. Without it the
    // client library would look for the installation's files under "/" and
    // the frame relay for the other hosts in a place of its own (the busy
    // picture while they stream). Set when the plug-in is loaded, before an
    // element makes a client; a CVL_ROOT that the program was given stays.
    setenv("CVL_ROOT", CVL_PACKAGE_ROOT, 0);
#endif
    GST_DEBUG_CATEGORY_INIT(cvl_src_debug, "cvlsrc", 0, "Corvalink camera source");
    return gst_element_register(plugin, "cvlsrc", GST_RANK_NONE, CVL_TYPE_SRC);
}

#define PACKAGE "corvalink"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, cvlsrc,
                  "Live video from the camera that the Corvalink service drives",
                  cvl_src_plugin_init, CVL_VERSION, "Proprietary", "Corvalink",
                  "https://corvalink.invalid/")
