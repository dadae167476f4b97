// cvl-camera as the browsers' camera: headless Chromium and Firefox ESR in a
// private desktop session list "Corvalink Camera", capture it through the
// portal and draw the simulator's colour bars; the picture follows the
// camera being unplugged and plugged in, the frame rate holds up, and the
// video goes on while the node's camera settings change.
#include "CVLSettings.h"
#include "CameraPage.h"
#include "CameraRun.h"
#include "ChildProcess.h"
#include "ControlTable.h"
#include "DesktopSession.h"
#include "HeadlessBrowser.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace cvl::test;
using std::chrono::seconds;

const char kCameraLabel[] = "Corvalink Camera";

// The service, the desktop session, cvl-camera in it and the page server:
// everything a browser needs to capture the camera.
class CameraInBrowser : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.Start());
        ASSERT_TRUE(m_session.Start()) << m_session.Errors();
        // cvl-camera keeps the test's XDG_RUNTIME_DIR and CVL_ROOT (the
        // service's) and finds PipeWire through the session.
        ASSERT_TRUE(m_camera.Start({Program("cvl-camera")}, m_session.FullClientEnvironment(),
                                   TempFolder() + "/cvl-camera.log"));
        ASSERT_TRUE(m_session.WaitForNode(kCameraLabel, seconds(60)))
            << m_camera.Log() << m_session.Errors();
        ASSERT_TRUE(m_server.Start());
    }

    void TearDown() override {
        m_server.Stop();
        // cvl-camera ends on SIGTERM like a user unit would end it.
        if (m_camera.Pid() > 0) {
            EXPECT_EQ(m_camera.Stop(seconds(15)), 0) << m_camera.Log();
        }
    }

    // Opens the camera page and waits until it plays at least `frames`
    // frames, or reports an error.
    CameraView OpenAndPlay(HeadlessBrowser& browser, int width = 0, int height = 0,
                           int frames = 10) {
        return OpenCameraPage(
            browser, m_page, m_page.Url(width, height),
            [&](const CameraView& v) { return v.Playing() && v.frames >= frames; }, seconds(120));
    }

    std::string Diagnostics(HeadlessBrowser& browser) const {
        return m_page.Latest().Summary() + "\n--- browser\n" + browser.Log() + "--- cvl-camera\n" +
               m_camera.Log() + m_session.Errors();
    }

    ServiceProcess m_service;
    DesktopSession m_session;
    ChildProcess m_camera;
    PageServer m_server;
    CameraPage m_page{m_server};
};

// The no-camera picture as the page samples it: the installed picture on
// the page's grid.
Picture NoCameraPicture(const Picture& like) {
    Picture full;
    EXPECT_TRUE(DecodeJpegFile(BinaryDir() + "/resources/errorNoDevice.jpg", full));
    return full.Sampled(like.width, like.height);
}

// The page's grid is a tenth of the picture across: the bars are 12 cells
// wide at 960x640.
bool ShowsBars(const CameraView& view) {
    return view.Playing() && ShowsColourBars(view.picture, 5);
}

bool ShowsNoCamera(const CameraView& view) {
    return view.Playing() && !view.picture.Empty() &&
           MeanDifference(view.picture, NoCameraPicture(view.picture)) < 20;
}

TEST_F(CameraInBrowser, ChromiumListsTheCameraShowsTheBarsAndFollowsUnplugAndPlug) {
    HeadlessBrowser browser(BrowserKind::Chromium, m_session);
    const CameraView view = OpenAndPlay(browser);
    ASSERT_TRUE(view.Playing()) << Diagnostics(browser);
    EXPECT_EQ(view.label, kCameraLabel);
    EXPECT_NE(std::find(view.labels.begin(), view.labels.end(), kCameraLabel), view.labels.end());
    EXPECT_EQ(view.width, 960);
    EXPECT_EQ(view.height, 640);
    const CameraView bars = m_page.WaitForView(ShowsBars, seconds(30));
    ASSERT_TRUE(ShowsBars(bars)) << Diagnostics(browser);
    EXPECT_GT(MeanDifference(bars.picture, NoCameraPicture(bars.picture)), 40);

    // Unplugged: the no-camera picture within a few seconds, at the same
    // size, and frames keep coming.
    size_t before = m_page.Reports();
    Zelsim("unplug");
    const CameraView unplugged = m_page.WaitForView(ShowsNoCamera, seconds(15), before);
    ASSERT_TRUE(ShowsNoCamera(unplugged)) << Diagnostics(browser);
    EXPECT_EQ(unplugged.width, 960);
    EXPECT_EQ(unplugged.height, 640);
    const CameraView still = m_page.WaitForView(
        [&](const CameraView& v) { return v.frames > unplugged.frames + 10; }, seconds(30));
    EXPECT_GT(still.frames, unplugged.frames + 10) << "the page's picture froze while unplugged";

    // Plugged in again: the bars once the service has the camera back.
    before = m_page.Reports();
    Zelsim("plug standard");
    const CameraView replugged = m_page.WaitForView(ShowsBars, seconds(30), before);
    EXPECT_TRUE(ShowsBars(replugged)) << Diagnostics(browser);
}

// Live frames keep reaching the page at 960x640: new pictures (not the
// same one sent again), frame after frame. The bounds say that video comes,
// not how fast: the suite runs sanitizer builds beside other work on a
// shared machine (13 new pictures a second were seen with six programs
// busy on its two cores). The rate itself, 25 a second and more, is
// measured by bench/browser/run.sh, which runs this case with
// CVL_BROWSER_BENCH_SECONDS set and prints it.
TEST_F(CameraInBrowser, ChromiumGetsLiveFramesAt960x640) {
    const char* benchSeconds = std::getenv("CVL_BROWSER_BENCH_SECONDS");
    const double window = benchSeconds ? std::max(5.0, std::atof(benchSeconds)) : 5.0;
    HeadlessBrowser browser(BrowserKind::Chromium, m_session);
    const CameraView view = OpenAndPlay(browser, 960, 640, 30);
    ASSERT_TRUE(view.Playing()) << Diagnostics(browser);
    ASSERT_EQ(view.width, 960);
    ASSERT_EQ(view.height, 640);
    // Over windows of five seconds or more, so that a short stall of a busy
    // machine does not decide it; the best of three counts.
    double bestRate = 0;
    double bestDistinct = 0;
    CameraView start = view;
    for (int attempt = 0; attempt < 3 && (bestRate < 25 || benchSeconds); ++attempt) {
        const CameraView end = m_page.WaitForView(
            [&](const CameraView& v) { return v.seconds >= start.seconds + window; },
            seconds(static_cast<int>(window) + 30));
        ASSERT_GT(end.sequence, 0) << Diagnostics(browser);
        bestRate = std::max(bestRate, end.RateSince(start));
        bestDistinct = std::max(bestDistinct, end.DistinctRateSince(start));
        start = end;
    }
    EXPECT_GE(bestRate, 10.0) << Diagnostics(browser);
    EXPECT_GE(bestDistinct, 5.0) << "the page gets the same picture again and again";
    RecordProperty("frames_per_second", std::to_string(bestRate));
    if (benchSeconds)
        std::printf("{\"browser\":\"chromium\",\"size\":\"960x640\",\"window_s\":%.0f,"
                    "\"presented_fps\":%.2f,\"new_pictures_fps\":%.2f}\n",
                    window, bestRate, bestDistinct);
}

TEST_F(CameraInBrowser, FirefoxListsTheCameraAndShowsTheBars) {
    ASSERT_TRUE(HeadlessBrowser::Installed(BrowserKind::Firefox));
    HeadlessBrowser browser(BrowserKind::Firefox, m_session);
    const CameraView view = OpenAndPlay(browser);
    ASSERT_TRUE(view.Playing()) << Diagnostics(browser);
    EXPECT_EQ(view.label, kCameraLabel);
    EXPECT_NE(std::find(view.labels.begin(), view.labels.end(), kCameraLabel), view.labels.end());
    EXPECT_TRUE(ShowsBars(m_page.WaitForView(ShowsBars, seconds(30)))) << Diagnostics(browser);
}

TEST_F(CameraInBrowser, ChromiumScreenshotOfThePageShowsTheBars) {
    HeadlessBrowser browser(BrowserKind::Chromium, m_session);
    // The page's load waits on /hold, released once the bars are shown.
    const std::string shot = TempFolder() + "/camera-page.png";
    const bool taken = ScreenshotCameraPage(browser, m_server, m_page, m_page.Url(0, 0, true),
                                            ShowsBars, shot, 760, 580);
    ASSERT_TRUE(taken) << Diagnostics(browser);
    Picture picture;
    ASSERT_TRUE(DecodePngFile(shot, picture));
    EXPECT_TRUE(ShowsColourBars(picture, 40)) << Diagnostics(browser);
    // CVL_SCREENSHOT_DIR keeps the picture (the documentation's comes from
    // here).
    if (const char* folder = std::getenv("CVL_SCREENSHOT_DIR")) {
        EXPECT_EQ(RunCommand("cp " + ShellQuote(shot) + " " +
                             ShellQuote(std::string(folder) + "/desktop-camera.png")),
                  0);
    }
}

} // namespace

namespace {

double Brightness(const Picture& picture) {
    double sum = 0;
    for (unsigned char value : picture.rgb)
        sum += value;
    return picture.rgb.empty() ? 0 : sum / static_cast<double>(picture.rgb.size());
}

} // namespace

// Settings written on the node while Chromium plays: the page's picture
// follows each change (exposure compensation up and down by two stops) and
// the video goes on without an error.
TEST_F(CameraInBrowser, ChromiumKeepsPlayingWhileTheNodeSettingsChange) {
    HeadlessBrowser browser(BrowserKind::Chromium, m_session);
    const CameraView view = OpenAndPlay(browser);
    ASSERT_TRUE(view.Playing()) << Diagnostics(browser);
    const CameraView start = m_page.WaitForView(ShowsBars, seconds(30));
    ASSERT_TRUE(ShowsBars(start)) << Diagnostics(browser);
    const double base = Brightness(start.picture);

    // The node carries the settings once the service streams for it.
    CVLSettings settings;
    CVLSetting compensation;
    std::string error;
    ASSERT_TRUE(WaitFor([&] { return settings.Get("exposure-compensation", compensation, error); },
                        seconds(30)))
        << error;
    const std::string node = "timeout 30 pw-cli enum-params corvalink-camera PropInfo 2>&1";
    ASSERT_TRUE(WaitFor(
        [&] {
            std::string output;
            m_session.Run(node, &output);
            return output.find("Exposure compensation") != std::string::npos;
        },
        seconds(60)))
        << m_camera.Log();
    auto index = [&](const std::string& value) {
        const auto& allowed = compensation.allowed;
        return std::find(allowed.begin(), allowed.end(), value) - allowed.begin();
    };
    char key[16];
    std::snprintf(key, sizeof(key), "0x%x",
                  cvl::camera::ControlTable::PropId("exposure-compensation"));

    for (int round = 0; round < 4; ++round) {
        const bool up = round % 2 == 0;
        const size_t before = m_page.Reports();
        m_session.Run("timeout 30 pw-cli set-param corvalink-camera Props '{ " + std::string(key) +
                      ": " + std::to_string(index(up ? "+2" : "-2")) + " }' >/dev/null 2>&1");
        const CameraView changed = m_page.WaitForView(
            [&](const CameraView& v) {
                const double now = Brightness(v.picture);
                return v.Playing() && (up ? now > base + 20 : now < base - 20);
            },
            seconds(30), before);
        EXPECT_TRUE(changed.Playing()) << Diagnostics(browser);
        EXPECT_NE(Brightness(changed.picture) > base, !up)
            << "round " << round << ": " << Brightness(changed.picture) << " against " << base
            << "\n"
            << Diagnostics(browser);
    }
    const CameraView last = m_page.Latest();
    const CameraView after = m_page.WaitForView(
        [&](const CameraView& v) { return v.frames > last.frames + 10; }, seconds(30));
    EXPECT_TRUE(after.Playing()) << Diagnostics(browser);
    EXPECT_GT(after.frames, last.frames + 10) << "the page stopped playing";
}
