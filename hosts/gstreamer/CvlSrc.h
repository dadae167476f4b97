// cvlsrc: a live GStreamer source of the camera that the service drives, on
// the client library. Output image/jpeg with the size of each frame's JPEG
// header (renegotiated when it changes) at a steady output frame rate; the
// newest distinct frame goes out at every output tick.
#ifndef CVL_HOSTS_GSTREAMER_CVLSRC_H
#define CVL_HOSTS_GSTREAMER_CVLSRC_H

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define CVL_TYPE_SRC (cvl_src_get_type())
G_DECLARE_FINAL_TYPE(CvlSrc, cvl_src, CVL, SRC, GstPushSrc)

// Values of the "mode" property.
typedef enum {
    CVL_SRC_MODE_PORT = 0,
    CVL_SRC_MODE_SANDBOX = 1,
} CvlSrcMode;

#define CVL_TYPE_SRC_MODE (cvl_src_mode_get_type())
GType cvl_src_mode_get_type(void);

// The name and fields of the element message posted when the stream
// switches between live and status frames, or the reason for the status
// frames changes: "live" (boolean), "status" ("live", "error", "busy" or
// "disconnected") and "state" ("live", "waiting", "service not running",
// "camera busy" or "no camera").
#define CVL_SRC_STATUS_MESSAGE "cvlsrc-status"

G_END_DECLS

#endif
