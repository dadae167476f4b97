// cvlsrc's camera settings in a real pipeline with the real service and the
// simulated camera: the photography interface's properties and calls, the
// live-view size and the focus steps, set while the pipeline plays, change
// the frames that come out; a value the camera does not take is a warning
// on the bus and the stream goes on.
#include "FrameMeasure.h"
#include "GstTestSupport.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#define GST_USE_UNSTABLE_API
#include <gst/interfaces/photography.h>

#include <gtest/gtest.h>

namespace {

using namespace cvl::test;
using std::chrono::seconds;

FrameMeasure Newest(Pipeline& pipeline) {
    FrameMeasure measure;
    MeasureJpeg(pipeline.NewestLiveJpeg(), measure);
    return measure;
}

bool Warned(Pipeline& pipeline, const std::string& text) {
    for (const std::string& warning : pipeline.Warnings())
        if (warning.find(text) != std::string::npos)
            return true;
    return false;
}

std::string LiveViewSize(GstElement* source) {
    gchar* size = nullptr;
    g_object_get(source, "live-view-size", &size, nullptr);
    const std::string text = size ? size : "";
    g_free(size);
    return text;
}

TEST(CvlSrcSettings, PropertiesSetWhilePlayingChangeTheFramesAndBadValuesWarn) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    InitGStreamer();
    Pipeline pipeline("cvlsrc name=src ! appsink name=sink");
    ASSERT_TRUE(pipeline.Valid());
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline.Element()), "src");
    ASSERT_TRUE(GST_IS_PHOTOGRAPHY(source));
    GstPhotography* photo = GST_PHOTOGRAPHY(source);
    EXPECT_TRUE(gst_photography_get_capabilities(photo) & GST_PHOTOGRAPHY_CAPS_EV_COMP);
    ASSERT_TRUE(pipeline.Play());
    ASSERT_TRUE(WaitFor([&] { return Newest(pipeline).width > 0; }, seconds(30)));
    const FrameMeasure plain = Newest(pipeline);

    // Exposure compensation as a property: the frames brighten.
    g_object_set(source, "ev-compensation", 2.0f, nullptr);
    EXPECT_TRUE(WaitFor([&] { return Newest(pipeline).Brightness() > plain.Brightness() + 20; },
                        seconds(30)))
        << plain.Brightness() << " then " << Newest(pipeline).Brightness();
    gfloat ev = 0;
    EXPECT_TRUE(gst_photography_get_ev_compensation(photo, &ev));
    EXPECT_FLOAT_EQ(ev, 2.0f);
    gst_photography_set_ev_compensation(photo, 0);

    // White balance through the interface's call: a blue tint.
    gst_photography_set_white_balance_mode(photo, GST_PHOTOGRAPHY_WB_MODE_TUNGSTEN);
    EXPECT_TRUE(WaitFor(
        [&] {
            const FrameMeasure tinted = Newest(pipeline);
            return tinted.blue / (tinted.red + 1) > plain.blue / (plain.red + 1) * 1.3;
        },
        seconds(30)));
    GstPhotographyWhiteBalanceMode mode = GST_PHOTOGRAPHY_WB_MODE_AUTO;
    EXPECT_TRUE(gst_photography_get_white_balance_mode(photo, &mode));
    EXPECT_EQ(mode, GST_PHOTOGRAPHY_WB_MODE_TUNGSTEN);

    // ISO, aperture (tenths of the f-number), exposure time (milliseconds,
    // the camera's nearest) and zoom reach the camera.
    gst_photography_set_iso_speed(photo, 800);
    g_object_set(source, "aperture", 80u, "exposure-time", 17u, nullptr);
    gst_photography_set_zoom(photo, 5.0f);
    guint iso = 0;
    EXPECT_TRUE(WaitFor([&] { return gst_photography_get_iso_speed(photo, &iso) && iso == 800; }));
    guint aperture = 0;
    EXPECT_TRUE(WaitFor([&] {
        g_object_get(source, "aperture", &aperture, nullptr);
        return aperture == 80;
    }));
    guint exposure = 0;
    EXPECT_TRUE(WaitFor([&] {
        g_object_get(source, "exposure-time", &exposure, nullptr);
        return exposure == 17; // 1/60 s
    }));
    gfloat zoom = 0;
    EXPECT_TRUE(WaitFor([&] { return gst_photography_get_zoom(photo, &zoom) && zoom == 5.0f; }));
    gst_photography_set_zoom(photo, 1.0f);

    // Focus steps blur, autofocus sharpens again.
    g_signal_emit_by_name(source, "focus-step", 3);
    EXPECT_TRUE(
        WaitFor([&] { return Newest(pipeline).sharpness < plain.sharpness * 0.6; }, seconds(30)));
    gst_photography_set_autofocus(photo, TRUE);
    EXPECT_TRUE(
        WaitFor([&] { return Newest(pipeline).sharpness > plain.sharpness * 0.8; }, seconds(30)));

    // The live-view size: the caps follow.
    g_object_set(source, "live-view-size", "480x320", nullptr);
    EXPECT_TRUE(WaitFor([&] { return Newest(pipeline).width == 480; }, seconds(30)));
    EXPECT_EQ(LiveViewSize(source), "480x320");

    // Values the camera does not take: warnings with the reason, no error,
    // and the frames go on.
    g_object_set(source, "iso-speed", 900u, nullptr);
    g_object_set(source, "live-view-size", "big", nullptr);
    g_signal_emit_by_name(source, "focus-step", 7);
    EXPECT_TRUE(WaitFor([&] { return Warned(pipeline, "iso cannot be \"900\""); }));
    EXPECT_TRUE(WaitFor([&] { return Warned(pipeline, "live-view-size cannot be \"big\""); }));
    EXPECT_TRUE(Warned(pipeline, "A focus step is -3 to -1"));
    const size_t before = pipeline.BufferCount();
    EXPECT_TRUE(WaitFor([&] { return pipeline.BufferCount() > before + 10; }));
    EXPECT_EQ(pipeline.Error(), "");
    EXPECT_TRUE(WaitFor([&] { return gst_photography_get_iso_speed(photo, &iso) && iso == 800; }));
    gst_object_unref(source);
    EXPECT_TRUE(pipeline.Stop());
}

} // namespace
