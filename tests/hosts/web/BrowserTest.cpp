// The viewer page in a real headless Chromium, with the real service and
// the simulated camera: the screenshot shows the simulator's colour bars and
// the state, and the page follows the camera being unplugged and plugged in.
#include "HttpProbe.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <jpeglib.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace cvl::test;
using std::chrono::seconds;

struct Rgb {
    int r, g, b;
};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    Rgb At(int x, int y) const {
        const unsigned char* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        return Rgb{p[0], p[1], p[2]};
    }
};

bool Near(const Rgb& a, const Rgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

bool DecodeJpeg(const std::string& path, Image& image) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    jpeg_decompress_struct decoder;
    jpeg_error_mgr errors;
    decoder.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&decoder);
    jpeg_stdio_src(&decoder, file);
    jpeg_read_header(&decoder, TRUE);
    decoder.out_color_space = JCS_RGB;
    jpeg_start_decompress(&decoder);
    image.width = static_cast<int>(decoder.output_width);
    image.height = static_cast<int>(decoder.output_height);
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    while (decoder.output_scanline < decoder.output_height) {
        JSAMPROW row = &image.rgb[static_cast<size_t>(decoder.output_scanline) * image.width * 3];
        jpeg_read_scanlines(&decoder, &row, 1);
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    std::fclose(file);
    return image.width > 0;
}

// Some row holds the simulator's bars left to right, each at least 40 pixels
// wide: white, yellow, cyan, green, magenta, red, blue.
bool ShowsColourBars(const Image& image) {
    const Rgb bars[] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                        {235, 16, 235},  {235, 16, 16},  {16, 16, 235}};
    for (int y = 0; y < image.height; y += 3) {
        int next = 0; // the bar looked for
        int run = 0;
        int current = -1;
        for (int x = 0; x < image.width && next < 7; ++x) {
            int found = -1;
            for (int b = 0; b < 7; ++b)
                if (Near(image.At(x, y), bars[b], 40))
                    found = b;
            run = found == current ? run + 1 : 1;
            current = found;
            if (found == next && run >= 40)
                ++next;
        }
        if (next == 7)
            return true;
    }
    return false;
}

int PixelsOf(const Image& image, const Rgb& colour) {
    int count = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            count += Near(image.At(x, y), colour, 16);
    return count;
}

// Whether some 8 by 8 square is all of colour: a badge is a solid block of
// it, while the JPEG's ringing at the edges of the bars leaves stray pixels
// of almost any colour near them.
bool HasPatchOf(const Image& image, const Rgb& colour) {
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

Image Screenshot(uint16_t port) {
    static int shots = 0;
    const std::string path = TempFolder() + "/page-" + std::to_string(++shots) + ".jpg";
    Chromium(port, "--screenshot=" + ShellQuote(path));
    Image image;
    EXPECT_TRUE(DecodeJpeg(path, image)) << "no screenshot " << path;
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
    ASSERT_TRUE(web.Start()) << web.Errors();
    ASSERT_TRUE(WaitFor([&] { return web.State() == "live"; }, seconds(30)));
    const uint16_t port = web.Port();

    Image live = Screenshot(port);
    EXPECT_TRUE(ShowsColourBars(live));
    EXPECT_GT(PixelsOf(live, kLiveBadge), 300);
    EXPECT_TRUE(HasPatchOf(live, kLiveBadge));
    EXPECT_FALSE(HasPatchOf(live, kNoCameraBadge));
    EXPECT_TRUE(DomShows(port, "live"));

    // Unplugged: the service sends the no-camera frame, the page says so.
    Zelsim("unplug");
    EXPECT_TRUE(WaitFor([&] { return web.State() == "no camera"; }, seconds(10)));
    EXPECT_TRUE(WaitFor([&] { return DomShows(port, "no camera"); }, seconds(60)));
    Image unplugged = Screenshot(port);
    EXPECT_FALSE(ShowsColourBars(unplugged));
    EXPECT_GT(PixelsOf(unplugged, kNoCameraBadge), 300);
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
