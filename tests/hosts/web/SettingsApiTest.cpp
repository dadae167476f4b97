// cvl-web's settings endpoints with real HTTP requests against the real
// service and the simulated camera: the list, changes that show in the
// picture, every kind of refusal with its status, and the rule that other
// machines may not use them unless cvl-web was started to allow it.
#include "FrameMeasure.h"
#include "HttpProbe.h"
#include "ServiceHarness.h"
#include "TestSupport.h"
#include "Zelsim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

namespace {

using namespace cvl::test;
using std::chrono::seconds;

HttpReply Post(uint16_t port, const std::string& path, const std::string& body,
               const std::string& headers = "Content-Type: application/json\r\n",
               const std::string& source = "") {
    return Exchange(port,
                    "POST " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + headers +
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                    seconds(20), source);
}

// A change carried through: 200 at once, or 202 and then 200 from the
// outcome it names once the camera is done; the last status otherwise.
int Apply(uint16_t port, const std::string& path, const std::string& body,
          const std::string& source = "") {
    const HttpReply reply = Post(port, path, body, "Content-Type: application/json\r\n", source);
    if (reply.status != 202)
        return reply.status;
    const std::string location = reply.Header("Location");
    EXPECT_EQ(location.rfind("/settings/outcomes/", 0), 0u) << reply.raw;
    EXPECT_NE(reply.body.find("\"outcome\":\"pending\""), std::string::npos) << reply.body;
    int status = 202;
    WaitFor(
        [&] {
            status = Get(port, location, "GET", source).status;
            return status != 202;
        },
        seconds(30));
    return status;
}

double Brightness(uint16_t port) {
    FrameMeasure measure;
    return MeasureJpeg(Get(port, "/snapshot.jpg").body, measure) ? measure.Brightness() : -1;
}

// An IPv4 address of this machine off the loopback, or "".
std::string OtherLocalAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return "";
    std::string found;
    for (ifaddrs* entry = list; entry && found.empty(); entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const in_addr address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
        char text[INET_ADDRSTRLEN];
        if ((ntohl(address.s_addr) >> 24) != 127 && inet_ntop(AF_INET, &address, text, sizeof text))
            found = text;
    }
    freeifaddrs(list);
    return found;
}

class CvlWebSettings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.Start());
        ASSERT_TRUE(m_web.StartLive()) << m_web.Output() << m_web.Errors();
        ASSERT_TRUE(
            WaitFor([&] { return Get(m_web.Port(), "/settings").status == 200; }, seconds(30)));
    }

    ServiceProcess m_service;
    WebProcess m_web;
};

TEST_F(CvlWebSettings, ListsAndChangesTheCameraAndRefusesBadRequestsWithTheirStatus) {
    const uint16_t port = m_web.Port();
    HttpReply list = Get(port, "/settings");
    EXPECT_EQ(list.Header("Content-Type"), "application/json");
    EXPECT_NE(list.body.find("{\"name\":\"exposure-compensation\",\"value\":\"0\",\"allowed\":["),
              std::string::npos)
        << list.body;
    EXPECT_NE(list.body.find("{\"name\":\"iso\",\"value\":\"400\",\"allowed\":[\"auto\",\"100\","),
              std::string::npos)
        << list.body;
    const std::string changes = Get(port, "/settings/changes").body;
    EXPECT_EQ(changes.rfind("{\"changes\":", 0), 0u) << changes;

    // A change: done once the camera has it, and the picture brighter.
    const double before = Brightness(port);
    EXPECT_EQ(Apply(port, "/settings/exposure-compensation", "{\"value\": \"+2\"}"), 200);
    EXPECT_NE(Get(port, "/settings/exposure-compensation").body.find("\"value\":\"+2\""),
              std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return Brightness(port) > before + 20; }, seconds(10)))
        << before << " then " << Brightness(port);
    EXPECT_NE(Get(port, "/settings/changes").body, changes);
    // Numbers are taken as written; an action by its words.
    EXPECT_EQ(Apply(port, "/settings/iso", "{\"value\":800}"), 200);
    EXPECT_EQ(Apply(port, "/settings/actions", "{\"action\":\"zoom 5\"}"), 200);
    EXPECT_EQ(Apply(port, "/settings/actions", "{\"action\":\"focus near 2\"}"), 200);
    EXPECT_EQ(Apply(port, "/settings/actions", "{\"action\":\"autofocus\"}"), 200);
    EXPECT_NE(Get(port, "/settings/zoom").body.find("\"value\":\"5\""), std::string::npos);

    // Refusals: the service's message, the status of its kind.
    HttpReply bad = Post(port, "/settings/iso", "{\"value\":\"900\"}");
    EXPECT_EQ(bad.status, 400);
    EXPECT_NE(bad.body.find("iso cannot be \\\"900\\\"; allowed: auto, 100"), std::string::npos)
        << bad.body;
    HttpReply unknown = Post(port, "/settings/isoo", "{\"value\":\"800\"}");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_NE(unknown.body.find("unknown setting \\\"isoo\\\""), std::string::npos) << unknown.body;
    EXPECT_EQ(Get(port, "/settings/loudness").status, 404);
    EXPECT_EQ(Get(port, "/settings/outcomes/999999").status, 404);
    EXPECT_EQ(Get(port, "/settings/outcomes/x").status, 404);
    EXPECT_EQ(Post(port, "/settings/actions", "{\"action\":\"focus sideways\"}").status, 400);
    EXPECT_EQ(Post(port, "/settings/iso", "{\"value\":\"800 1600\"}").status, 400);
    EXPECT_EQ(Post(port, "/settings/iso", "{\"value\":\"8\\n00\"}").status, 400);
    EXPECT_EQ(Post(port, "/settings/iso", "{\"valu\":\"800\"}").status, 400);
    EXPECT_EQ(Post(port, "/settings/iso", "value=800").status, 400);
    EXPECT_EQ(
        Post(port, "/settings/iso", "{\"value\":\"800\"}", "Content-Type: text/plain\r\n").status,
        415);
    EXPECT_EQ(Post(port, "/settings/iso", std::string(20000, ' ')).status, 413);
    HttpReply chunked =
        Exchange(port, "POST /settings/iso HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: "
                       "close\r\nContent-Type: application/json\r\nTransfer-Encoding: "
                       "chunked\r\n\r\n2000\r\n" +
                           std::string(0x2000, ' ') + "\r\n0\r\n\r\n");
    EXPECT_EQ(chunked.status, 413);
    struct Refused {
        const char* method;
        const char* path;
        const char* allow;
    };
    for (const Refused& refused : {Refused{"PUT", "/settings/iso", "GET, HEAD, POST"},
                                   Refused{"DELETE", "/settings", "GET, HEAD"},
                                   Refused{"POST", "/settings/changes", "GET, HEAD"},
                                   Refused{"GET", "/settings/actions", "POST"}}) {
        HttpReply reply = Get(port, refused.path, refused.method);
        EXPECT_EQ(reply.status, 405) << refused.method << " " << refused.path;
        EXPECT_EQ(reply.Header("Allow"), refused.allow) << refused.method << " " << refused.path;
    }
    // Another site's page in the user's browser, or one under a name that
    // resolves here, may not change the camera.
    EXPECT_EQ(Post(port, "/settings/iso", "{\"value\":\"1600\"}",
                   "Content-Type: application/json\r\nOrigin: http://example.org\r\n")
                  .status,
              403);
    EXPECT_EQ(Exchange(port, "GET /settings HTTP/1.0\r\nHost: rebound.example:80\r\n\r\n").status,
              403);
    EXPECT_NE(Get(port, "/settings/iso").body.find("\"value\":\"800\""), std::string::npos);

    // A change on the camera body moves the counter and shows in the list.
    const std::string counted = Get(port, "/settings/changes").body;
    Zelsim("set iso 3200");
    EXPECT_TRUE(WaitFor([&] {
        return Get(port, "/settings/iso").body.find("\"value\":\"3200\"") != std::string::npos;
    }));
    EXPECT_NE(Get(port, "/settings/changes").body, counted);

    // No camera: 409; no service: 503. The page itself still answers.
    Zelsim("unplug");
    EXPECT_TRUE(WaitFor([&] { return Get(port, "/settings").status == 409; }, seconds(20)));
    HttpReply none = Post(port, "/settings/iso", "{\"value\":\"800\"}");
    EXPECT_EQ(none.status, 409);
    EXPECT_NE(none.body.find("no camera connected"), std::string::npos) << none.body;
    m_service.Terminate();
    EXPECT_EQ(m_service.WaitForExit(), 0);
    EXPECT_TRUE(WaitFor([&] { return Get(port, "/settings/changes").status == 503; }));
    EXPECT_EQ(Get(port, "/settings").status, 503);
    EXPECT_EQ(Post(port, "/settings/iso", "{\"value\":\"800\"}").status, 503);
    EXPECT_EQ(Get(port, "/").status, 200);
}

TEST_F(CvlWebSettings, OtherMachinesGetForbiddenUnlessRemoteSettingsAreOn) {
    const std::string other = OtherLocalAddress();
    if (other.empty())
        GTEST_SKIP() << "this machine has no address off the loopback";
    // From the loopback, cvl-web on every address serves the settings; from
    // another address it serves the page but not the settings.
    WebProcess everywhere;
    ASSERT_TRUE(everywhere.Start({"--listen", "0.0.0.0:0"})) << everywhere.Errors();
    const uint16_t port = everywhere.Port();
    EXPECT_TRUE(WaitFor([&] { return Get(port, "/settings").status == 200; }, seconds(30)));
    EXPECT_EQ(Get(port, "/", "GET", other).status, 200);
    for (const char* path : {"/settings", "/settings/changes", "/settings/iso"}) {
        HttpReply refused = Get(port, path, "GET", other);
        EXPECT_EQ(refused.status, 403) << path;
        EXPECT_NE(refused.body.find("--settings-remote"), std::string::npos) << refused.body;
    }
    EXPECT_EQ(Post(port, "/settings/iso", "{\"value\":\"800\"}",
                   "Content-Type: application/json\r\n", other)
                  .status,
              403);
    EXPECT_NE(Get(port, "/settings/iso").body.find("\"value\":\"400\""), std::string::npos);

    WebProcess remote;
    ASSERT_TRUE(remote.Start({"--listen", "0.0.0.0:0", "--settings-remote"})) << remote.Errors();
    EXPECT_NE(remote.Errors().find("can change the camera's settings"), std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return Get(remote.Port(), "/settings", "GET", other).status == 200; },
                        seconds(30)));
    EXPECT_EQ(Apply(remote.Port(), "/settings/iso", "{\"value\":\"800\"}", other), 200);
}

} // namespace
