// The browser harness against a camera node that is not Corvalink's: both
// browsers list it by its description, capture it through the portal, and
// the page's samples, size and frame count are what the node sends. A
// failure here is the harness's or the session's, not the camera node's.
#include "CameraPage.h"
#include "CameraRun.h"
#include "DesktopSession.h"
#include "HeadlessBrowser.h"
#include "PlainCameraNode.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace cvl::test;
using std::chrono::seconds;

// Colour conversion (RGB to I420 and back in the browser) moves a solid
// colour by a few steps.
constexpr int kColourTolerance = 24;

class BrowserHarness : public testing::TestWithParam<BrowserKind> {};

TEST_P(BrowserHarness, PageCapturesThePlainNodeWithItsLabelSizeColourAndFrames) {
    ASSERT_TRUE(HeadlessBrowser::Installed(GetParam()));
    DesktopSession session;
    ASSERT_TRUE(session.Start()) << session.Errors();
    PlainCameraNodeOptions options;
    options.description = "Plain Test Camera";
    options.width = 640;
    options.height = 480;
    options.colour = 0x20c040;
    PlainCameraNode node(session, options);
    ASSERT_TRUE(node.Start()) << node.Log();

    PageServer server;
    ASSERT_TRUE(server.Start());
    CameraPage page(server);
    HeadlessBrowser browser(GetParam(), session);
    const CameraView view = OpenCameraPage(
        browser, page, page.Url(),
        [](const CameraView& v) { return v.Playing() && v.frames >= 10; }, seconds(90));
    ASSERT_TRUE(view.Playing()) << page.Latest().Summary() << "\n"
                                << browser.Log() << session.Errors();
    EXPECT_EQ(view.label, "Plain Test Camera");
    EXPECT_NE(std::find(view.labels.begin(), view.labels.end(), "Plain Test Camera"),
              view.labels.end());
    EXPECT_EQ(view.width, 640);
    EXPECT_EQ(view.height, 480);
    bool uniform = true;
    for (int y = 0; y < view.picture.height; ++y)
        for (int x = 0; x < view.picture.width; ++x)
            uniform =
                uniform && Near(view.picture.At(x, y), Rgb{0x20, 0xc0, 0x40}, kColourTolerance);
    EXPECT_TRUE(uniform && !view.picture.Empty());

    // Frames keep coming: the count grows from report to report.
    const CameraView later = page.WaitForView(
        [&](const CameraView& v) { return v.frames >= view.frames + 30; }, seconds(60));
    EXPECT_GT(later.RateSince(view), 5.0) << view.Summary() << "\n" << page.Latest().Summary();

    browser.Close();
    EXPECT_FALSE(browser.Running());
}

// A camera published after the page first asked (cvl-camera started after
// the browser, or the session manager granting access late): the page's
// next getUserMedia finds it.
TEST_P(BrowserHarness, CameraPublishedAfterThePageAskedIsFoundOnTheNextAttempt) {
    DesktopSession session;
    ASSERT_TRUE(session.Start()) << session.Errors();
    PageServer server;
    ASSERT_TRUE(server.Start());
    CameraPage page(server);
    HeadlessBrowser browser(GetParam(), session);
    ASSERT_TRUE(browser.Open(page.Url()));
    const CameraView asked =
        page.WaitForView([](const CameraView& v) { return v.attempts >= 2; }, seconds(90));
    ASSERT_GE(asked.attempts, 2) << page.Latest().Summary() << "\n" << browser.Log();

    PlainCameraNode node(session);
    ASSERT_TRUE(node.Start()) << node.Log();
    const auto playing = [](const CameraView& v) { return v.Playing() && v.frames >= 5; };
    CameraView view = page.WaitForView(
        [&](const CameraView& v) {
            return v.phase == "error" || playing(v) || browser.CaptureCheckFailed();
        },
        seconds(60));
    // The late start is a capture start like any other (CameraRun.h).
    if (!playing(view) && browser.CaptureCheckFailed())
        view = OpenCameraPage(browser, page, page.Url(), playing, seconds(60));
    ASSERT_TRUE(view.Playing()) << page.Latest().Summary() << "\n" << browser.Log();
    EXPECT_EQ(view.label, "Plain Test Camera");
}

INSTANTIATE_TEST_SUITE_P(Browsers, BrowserHarness,
                         testing::Values(BrowserKind::Chromium, BrowserKind::Firefox),
                         [](const testing::TestParamInfo<BrowserKind>& info) {
                             return info.param == BrowserKind::Chromium ? "Chromium" : "Firefox";
                         });

TEST(BrowserHarnessScreenshot, ChromiumScreenshotWaitsForTheCameraToPlay) {
    ASSERT_TRUE(HeadlessBrowser::Installed(BrowserKind::Chromium));
    DesktopSession session;
    ASSERT_TRUE(session.Start()) << session.Errors();
    PlainCameraNodeOptions options;
    options.colour = 0x2040d0;
    PlainCameraNode node(session, options);
    ASSERT_TRUE(node.Start()) << node.Log();

    PageServer server;
    ASSERT_TRUE(server.Start());
    CameraPage page(server);
    HeadlessBrowser browser(BrowserKind::Chromium, session);
    // The page's load waits on /hold, released once frames are shown.
    const std::string shot = TempFolder() + "/page.png";
    const bool taken = ScreenshotCameraPage(
        browser, server, page, page.Url(0, 0, true),
        [](const CameraView& v) { return v.frames >= 10; }, shot, 800, 600);
    ASSERT_TRUE(taken) << browser.Log();
    Picture picture;
    ASSERT_TRUE(DecodePngFile(shot, picture));
    EXPECT_EQ(picture.width, 800);
    // The video element shows the node's colour over a good part of its area.
    EXPECT_GT(PixelsOf(picture, Rgb{0x20, 0x40, 0xd0}), 720 * 480 / 2);
}

} // namespace
