// The viewer page in a real headless Chromium, with the real service and
// the simulated camera: the screenshot shows the simulator's colour bars and
// the state, and the page follows the camera being unplugged and plugged in.
#include "HttpProbe.h"
#include "Picture.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace cvl::test;
using std::chrono::seconds;

// Pixels of the colour in the page's header, where the state badge is (the
// picture below it may hold any colour: the simulator's ball blends into
// red-brown at its edge).
int BadgePixelsOf(const Picture& picture, const Rgb& colour) {
    constexpr int kHeaderHeight = 44;
    int count = 0;
    for (int y = 0; y < picture.height && y < kHeaderHeight; ++y)
        for (int x = 0; x < picture.width; ++x)
            count += Near(picture.At(x, y), colour, 16);
    return count;
}

// Whether some 8 by 8 square is all of colour: a badge is a solid block of
// it, while the JPEG's ringing at the edges of the bars leaves stray pixels
// of almost any colour near them.
bool HasPatchOf(const Picture& image, const Rgb& colour) {
    constexpr int kSide = 8;
    for (int y = 0; y + kSide <= image.height; y += 2)
        for (int x = 0; x + kSide <= image.width; x += 2) {
            bool all = true;
            for (int dy = 0; dy < kSide && all; ++dy)
                for (int dx = 0; dx < kSide && all; ++dx)
                    all = Near(image.At(x + dx, y + dy), colour, 16);
            if (all)
                return true;
        }
    return false;
}

const Rgb kLiveBadge{31, 157, 85};
const Rgb kNoCameraBadge{192, 57, 43};

// Headless Chromium with a fresh profile: the page's DOM after its script
// ran for a while, or a JPEG screenshot of it.
std::string Chromium(uint16_t port, const std::string& action) {
    static int runs = 0;
    const std::string profile = MakeFolder("chromium-" + std::to_string(++runs));
    const std::string command =
        "timeout -k 5 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
        "--no-first-run --disable-background-networking --disable-component-update "
        "--disable-sync --user-data-dir=" +
        ShellQuote(profile) + " --window-size=1100,760 --virtual-time-budget=2000 " + action +
        " http://127.0.0.1:" + std::to_string(port) + "/ 2>>" +
        ShellQuote(TempFolder() + "/chromium-stderr.txt");
    std::string output;
    RunCommand(command, &output);
    return output;
}

Picture Screenshot(uint16_t port) {
    static int shots = 0;
    const std::string path = TempFolder() + "/page-" + std::to_string(++shots) + ".jpg";
    Chromium(port, "--screenshot=" + ShellQuote(path));
    Picture image;
    EXPECT_TRUE(DecodeJpegFile(path, image)) << "no screenshot " << path;
    return image;
}

bool DomShows(uint16_t port, const std::string& state) {
    const std::string dom = Chromium(port, "--dump-dom");
    return dom.find(">" + state + "</span>") != std::string::npos &&
           dom.find("frames/s") != std::string::npos;
}

TEST(CvlWebBrowser, PageShowsTheLiveBarsAndFollowsTheCameraOutAndBackIn) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    WebProcess web;
    ASSERT_TRUE(web.StartLive()) << web.Output() << web.Errors();
    const uint16_t port = web.Port();

    Picture live = Screenshot(port);
    EXPECT_TRUE(ShowsColourBars(live));
    EXPECT_GT(BadgePixelsOf(live, kLiveBadge), 300);
    EXPECT_TRUE(HasPatchOf(live, kLiveBadge));
    EXPECT_FALSE(HasPatchOf(live, kNoCameraBadge));
    EXPECT_TRUE(DomShows(port, "live"));

    // Unplugged: the service sends the no-camera frame, the page says so.
    Zelsim("unplug");
    EXPECT_TRUE(WaitFor([&] { return web.State() == "no camera"; }, seconds(10)));
    EXPECT_TRUE(WaitFor([&] { return DomShows(port, "no camera"); }, seconds(60)));
    Picture unplugged = Screenshot(port);
    EXPECT_FALSE(ShowsColourBars(unplugged));
    EXPECT_GT(BadgePixelsOf(unplugged, kNoCameraBadge), 300);
    EXPECT_TRUE(HasPatchOf(unplugged, kNoCameraBadge));

    // Plugged in again: live video once the service has reconnected.
    Zelsim("plug standard");
    EXPECT_TRUE(WaitFor([&] { return web.State() == "live"; }, seconds(30)));
    EXPECT_TRUE(WaitFor([&] { return ShowsColourBars(Screenshot(port)); }, seconds(60)));
    EXPECT_TRUE(DomShows(port, "live"));
    // Every Chromium that watched the stream has been dropped as a viewer.
    EXPECT_TRUE(WaitFor([&] { return web.Stat("viewers") == 0; }, seconds(5)));
}

} // namespace
