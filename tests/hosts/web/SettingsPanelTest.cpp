// The settings panel of cvl-web's page in headless Chromium driven as a
// person uses it, with the real service and the simulated camera: a menu
// choice and a click change the camera and the picture the page shows, a
// change on the camera body reaches the menus, and a refusal is shown.
#include "DevToolsPage.h"
#include "HttpProbe.h"
#include "ServiceHarness.h"
#include "TestSupport.h"
#include "Zelsim.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using namespace cvl::test;
using std::chrono::seconds;

struct Colour {
    double red = -1;
    double green = -1;
    double blue = -1;
    double Brightness() const { return (red + green + blue) / 3; }
};

// The mean colour of the picture as the page shows it now.
Colour PageColour(DevToolsPage& page) {
    std::string json;
    Colour colour;
    if (page.Evaluate("(() => { const p = document.getElementById('picture'); const c = "
                      "document.createElement('canvas'); c.width = 48; c.height = 32; const x = "
                      "c.getContext('2d'); x.drawImage(p, 0, 0, 48, 32); const d = "
                      "x.getImageData(0, 0, 48, 32).data; const s = [0, 0, 0]; for (let i = 0; "
                      "i < d.length; i += 4) for (let k = 0; k < 3; k++) s[k] += d[i + k]; "
                      "return s.map(v => v / (d.length / 4)); })()",
                      json))
        std::sscanf(json.c_str(), "[%lf,%lf,%lf]", &colour.red, &colour.green, &colour.blue);
    return colour;
}

// Picks value in the menu of setting as a person does: the menu's value,
// then its change event.
bool Pick(DevToolsPage& page, const std::string& setting, const std::string& value) {
    std::string json;
    return page.Evaluate("(() => { const s = document.getElementById('setting-" + setting +
                             "'); s.value = '" + value +
                             "'; s.dispatchEvent(new Event('change')); return s.value; })()",
                         json) &&
           json == "\"" + value + "\"";
}

std::string MenuValue(DevToolsPage& page, const std::string& setting) {
    return page.Text("(document.getElementById('setting-" + setting + "') || {}).value || ''");
}

bool CameraHas(uint16_t port, const std::string& setting, const std::string& value) {
    return Get(port, "/settings/" + setting).body.find("\"value\":\"" + value + "\"") !=
           std::string::npos;
}

TEST(CvlWebSettingsPanel, AMenuChoiceAndAClickChangeTheCameraAndThePicture) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start());
    WebProcess web;
    ASSERT_TRUE(web.StartLive()) << web.Output() << web.Errors();
    const uint16_t port = web.Port();

    DevToolsPage page;
    ASSERT_TRUE(page.Open("http://127.0.0.1:" + std::to_string(port) + "/")) << page.Log();
    ASSERT_TRUE(
        WaitFor([&] { return MenuValue(page, "exposure-compensation") == "0"; }, seconds(60)))
        << page.Log();
    EXPECT_EQ(MenuValue(page, "white-balance"), "auto");
    ASSERT_TRUE(WaitFor([&] { return PageColour(page).Brightness() > 10; }, seconds(30)));
    const Colour plain = PageColour(page);

    // The exposure menu: the camera takes the value, the picture brightens.
    ASSERT_TRUE(Pick(page, "exposure-compensation", "+2"));
    EXPECT_TRUE(
        WaitFor([&] { return CameraHas(port, "exposure-compensation", "+2"); }, seconds(30)));
    EXPECT_TRUE(WaitFor([&] { return PageColour(page).Brightness() > plain.Brightness() + 20; },
                        seconds(30)))
        << plain.Brightness() << " then " << PageColour(page).Brightness();
    ASSERT_TRUE(Pick(page, "exposure-compensation", "0"));
    EXPECT_TRUE(
        WaitFor([&] { return CameraHas(port, "exposure-compensation", "0"); }, seconds(30)));

    // White balance: tungsten tints the picture blue.
    ASSERT_TRUE(Pick(page, "white-balance", "tungsten"));
    EXPECT_TRUE(WaitFor(
        [&] {
            const Colour tinted = PageColour(page);
            return tinted.blue / (tinted.red + 1) > plain.blue / (plain.red + 1) * 1.3;
        },
        seconds(30)));

    // A mouse click on a zoom button.
    ASSERT_TRUE(page.Click("zoom-5")) << page.Log();
    EXPECT_TRUE(WaitFor([&] { return CameraHas(port, "zoom", "5"); }, seconds(30)));
    EXPECT_TRUE(WaitFor(
        [&] {
            return page.Text("document.getElementById('zoom-5').getAttribute('aria-pressed')") ==
                   "true";
        },
        seconds(30)));

    // A change on the camera body reaches the menu.
    Zelsim("set iso 3200");
    EXPECT_TRUE(WaitFor([&] { return MenuValue(page, "iso") == "3200"; }, seconds(30)));

    // The camera refuses an action: the panel says why, the picture plays on.
    Zelsim("fail ZelSendCommand 0x8D01");
    ASSERT_TRUE(page.Click("autofocus"));
    EXPECT_TRUE(WaitFor(
        [&] {
            return page.Text("document.getElementById('settings-message').textContent")
                       .find("busy") != std::string::npos;
        },
        seconds(30)));
    EXPECT_EQ(web.State(), "live");
}

} // namespace
