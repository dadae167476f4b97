// cvl-web as a user runs it: the real service of a staged installation with
// the simulated camera, cvl-web on a free port of the loopback, and HTTP
// clients on plain sockets.
#include "cvlhost/FrameStamp.h"
#include "HttpProbe.h"
#include "ServiceHarness.h"
#include "ServiceLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>

namespace {

using namespace cvl::test;
using std::chrono::milliseconds;
using std::chrono::seconds;

class CvlWeb : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.Start());
        ASSERT_TRUE(m_web.Start()) << m_web.Errors();
        ASSERT_TRUE(WaitFor([&] { return m_web.State() == "live"; }, seconds(30)))
            << m_web.Output() << m_web.Errors();
    }

    bool Serving() const {
        const HttpReply reply = Get(m_web.Port(), "/stats.json");
        return reply.status == 200 && reply.body.find("\"state\":") != std::string::npos;
    }

    ServiceProcess m_service;
    WebProcess m_web;
};

TEST_F(CvlWeb, AnswersEveryPathWithItsStatusAndType) {
    const uint16_t port = m_web.Port();
    HttpReply page = Get(port, "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.Header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page.body.find("<span id=\"state\""), std::string::npos);
    EXPECT_NE(page.body.find(">live</span>"), std::string::npos);
    EXPECT_NE(page.body.find("src=\"/stream.mjpeg\""), std::string::npos);

    HttpReply snapshot = Get(port, "/snapshot.jpg");
    EXPECT_EQ(snapshot.status, 200);
    EXPECT_EQ(snapshot.Header("Content-Type"), "image/jpeg");
    EXPECT_EQ(snapshot.Header("Cache-Control"), "no-store");
    cvl::host::FrameStamp stamp;
    EXPECT_TRUE(cvl::host::ReadFrameStamp(reinterpret_cast<const uint8_t*>(snapshot.body.data()),
                                          snapshot.body.size(), stamp));
    EXPECT_EQ(snapshot.body.compare(snapshot.body.size() - 2, 2, "\xFF\xD9"), 0);

    HttpReply stats = Get(port, "/stats.json?ignored=1");
    EXPECT_EQ(stats.status, 200);
    EXPECT_EQ(stats.Header("Content-Type"), "application/json");
    EXPECT_EQ(stats.body.rfind("{\"state\":\"live\",\"fps\":", 0), 0u) << stats.body;

    // HEAD: headers alone; for the stream it makes no viewer.
    HttpReply head = Get(port, "/stream.mjpeg", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.Header("Content-Type"), "multipart/x-mixed-replace; boundary=cvlframe");
    EXPECT_TRUE(head.body.empty());
    EXPECT_EQ(Get(port, "/", "HEAD").body, "");
    EXPECT_EQ(m_web.Stat("viewers"), 0);

    for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
        const HttpReply refused = Get(port, "/snapshot.jpg", method);
        EXPECT_EQ(refused.status, 405) << method;
        EXPECT_EQ(refused.Header("Allow"), "GET, HEAD") << method;
    }
    for (const char* path : {"/index.html", "/stream.mjpeg/", "/stream.mjpegx", "/../etc/passwd",
                             "/favicon.ico", "//"}) {
        EXPECT_EQ(Get(port, path).status, 404) << path;
    }
    // The stream: multipart parts, each a whole stamped JPEG.
    StreamViewer viewer(port);
    viewer.Watch(milliseconds(1500));
    viewer.Join();
    EXPECT_EQ(viewer.ContentType(), "multipart/x-mixed-replace; boundary=cvlframe");
    EXPECT_FALSE(viewer.Malformed());
    EXPECT_GE(viewer.Distinct(), 5);
}

TEST_F(CvlWeb, BadRequestsGetAnErrorOrAClosedConnectionAndServingGoesOn) {
    const uint16_t port = m_web.Port();
    const std::string hugeHeader = "X-Filler: " + std::string(200000, 'a') + "\r\n";
    std::string manyHeaders;
    for (int i = 0; i < 4000; ++i)
        manyHeaders += "X-" + std::to_string(i) + ": v\r\n";
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary += static_cast<char>(i % 256);
    // The status each gets; 0: the connection is closed without a reply.
    struct BadRequest {
        const char* name;
        std::string raw;
        int status;
    };
    const std::vector<BadRequest> requests = {
        {"garbage line", "GARBAGE\r\n\r\n", 0},
        {"method alone", "GET\r\n\r\n", 0},
        {"no version", "GET /\r\n\r\n", 400},
        {"unknown version", "GET / HTTP/9.9\r\nHost: x\r\n\r\n", 505},
        {"HTTP/1.1 without Host", "GET / HTTP/1.1\r\n\r\n", 400},
        {"bad header line", "GET / HTTP/1.1\r\nHost: x\r\nno colon here\r\n\r\n", 400},
        {"huge request line", "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
         414},
        {"huge header", "GET / HTTP/1.1\r\nHost: x\r\n" + hugeHeader + "\r\n", 431},
        {"many headers", "GET / HTTP/1.1\r\nHost: x\r\n" + manyHeaders + "\r\n", 431},
        {"bad content length", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n", 400},
        {"binary", binary, 0},
    };
    for (const BadRequest& request : requests) {
        const HttpReply reply = Exchange(port, request.raw);
        if (request.status == 0)
            EXPECT_TRUE(reply.closed && (reply.status == 0 || reply.status == 400))
                << request.name << ": status " << reply.status;
        else
            EXPECT_EQ(reply.status, request.status) << request.name;
        ASSERT_TRUE(Serving()) << "after " << request.name;
    }

    // A body that the server never reads, a request cut off half way.
    EXPECT_EQ(
        Exchange(port, "PUT /stats.json HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" +
                           std::string(100000, 'b'))
            .status,
        405);
    const int cut = ConnectLocal(port);
    ASSERT_GE(cut, 0);
    SendAll(cut, "GET /stream.mj");
    close(cut);

    // Many idle connections, some with half a request: the others are served.
    std::vector<int> idle;
    for (int i = 0; i < 120; ++i) {
        const int fd = ConnectLocal(port);
        ASSERT_GE(fd, 0) << i;
        if (i % 2)
            SendAll(fd, "GET / HTTP/1.1\r\nHost: x\r\n");
        idle.push_back(fd);
    }
    EXPECT_TRUE(Serving());
    StreamViewer viewer(port);
    viewer.Watch(milliseconds(1500));
    viewer.Join();
    EXPECT_GE(viewer.Distinct(), 5);
    for (int fd : idle)
        close(fd);
    EXPECT_EQ(kill(m_web.Pid(), 0), 0);
    EXPECT_TRUE(Serving());
}

// How much cvl-web's RSS may grow while a viewer stalls. ThreadSanitizer
// maps shadow memory for every heap address the frames pass through, which
// shows as RSS of its own (about 7 MB in such a run).
#if defined(__SANITIZE_THREAD__)
constexpr long kRssGrowthKiB = 32 * 1024;
#else
constexpr long kRssGrowthKiB = 8 * 1024;
#endif

// The figures of a fan-out run, for docs/benchmarks.md.
void Report(const std::vector<std::unique_ptr<StreamViewer>>& viewers, long rssBefore, long rssPeak,
            double hubFps) {
    std::string line = "fan-out: hub " + std::to_string(hubFps) + " new frames/s; viewers";
    for (const auto& viewer : viewers)
        line += " " + std::to_string(viewer->Distinct() / viewer->Seconds());
    line += "; RSS " + std::to_string(rssBefore) + " KiB before, peak " + std::to_string(rssPeak) +
            " KiB";
    std::printf("%s\n", line.c_str());
}

TEST_F(CvlWeb, FansOneStreamOutToEightViewersWhileAStalledViewerCostsNothing) {
    const uint16_t port = m_web.Port();
    // A viewer that asks for the stream and then reads nothing.
    const int stalled = ConnectLocal(port);
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(SendAll(stalled, "GET /stream.mjpeg HTTP/1.0\r\n\r\n"));

    std::vector<std::unique_ptr<StreamViewer>> viewers;
    for (int i = 0; i < 8; ++i)
        viewers.push_back(std::make_unique<StreamViewer>(port));
    const double framesBefore = m_web.Stat("frames");
    const auto start = std::chrono::steady_clock::now();
    for (auto& viewer : viewers)
        viewer->Watch(seconds(10));
    ASSERT_TRUE(WaitFor([&] { return m_web.Stat("viewers") == 9; }, seconds(10)));
    // Memory once every connection runs, then while the stalled one falls behind.
    std::this_thread::sleep_for(seconds(2));
    const long rssBefore = m_web.RssKiB();
    long rssPeak = rssBefore;
    while (std::chrono::steady_clock::now() - start < seconds(10)) {
        rssPeak = std::max(rssPeak, m_web.RssKiB());
        std::this_thread::sleep_for(milliseconds(250));
    }
    for (auto& viewer : viewers)
        viewer->Join();
    const double hubFps =
        (m_web.Stat("frames") - framesBefore) /
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Report(viewers, rssBefore, rssPeak, hubFps);

    // Each viewer gets most of the frames: a generous bound for a loaded
    // machine; the measured figures are in docs/benchmarks.md.
    for (const auto& viewer : viewers) {
        EXPECT_FALSE(viewer->Malformed());
        EXPECT_GE(viewer->Distinct() / viewer->Seconds(), 12.0);
        EXPECT_GE(viewer->Distinct() / viewer->Seconds(), 0.5 * hubFps);
    }
    EXPECT_LT(rssPeak - rssBefore, kRssGrowthKiB) << "KiB";

    // One stream from the service, whatever the number of viewers.
    int senders = 0;
    for (const std::string& message : LogMessages())
        if (message.rfind("frame sender ", 0) == 0 && message.size() > 8 &&
            message.compare(message.size() - 8, 8, " started") == 0)
            ++senders;
    EXPECT_EQ(senders, 1);

    // Viewers that hang up are dropped at once, the stalled one too.
    EXPECT_TRUE(WaitFor([&] { return m_web.Stat("viewers") == 1; }, seconds(5)));
    close(stalled);
    EXPECT_TRUE(WaitFor([&] { return m_web.Stat("viewers") == 0; }, seconds(5)));
}

TEST_F(CvlWeb, WarnsOffLoopbackRefusesBadOptionsAndEndsCleanlyOnSignals) {
    const std::string program = ShellQuote(Program("cvl-web"));
    std::string output;
    EXPECT_EQ(RunCommand(program + " --listen localhost:80 2>&1", &output), 2);
    EXPECT_NE(output.find("usage: cvl-web"), std::string::npos);
    // The port is taken by the running cvl-web.
    EXPECT_EQ(RunCommand(program + " --listen 127.0.0.1:" + std::to_string(m_web.Port()) + " 2>&1",
                         &output),
              1);
    EXPECT_NE(output.find("cannot listen on 127.0.0.1:"), std::string::npos) << output;

    {
        WebProcess open;
        ASSERT_TRUE(open.Start({"--listen", "0.0.0.0:0"}));
        EXPECT_NE(open.Errors().find("without authentication"), std::string::npos);
        EXPECT_EQ(open.Signal(SIGINT), 0);
        EXPECT_NE(open.Output().find("cvl-web: stopped"), std::string::npos);
    }
    EXPECT_EQ(m_web.Errors().find("without authentication"), std::string::npos);

    // SIGTERM with a viewer watching: the viewer's stream ends, the service
    // is told, the exit status is 0.
    StreamViewer viewer(m_web.Port());
    viewer.Watch(seconds(60));
    ASSERT_TRUE(WaitFor([&] { return viewer.Parts() > 3; }));
    const pid_t pid = m_web.Pid();
    const auto signalled = std::chrono::steady_clock::now();
    EXPECT_EQ(m_web.Signal(SIGTERM), 0) << m_web.Errors();
    viewer.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, seconds(30));
    EXPECT_FALSE(viewer.Malformed());
    EXPECT_TRUE(WaitForLogMessage("received: StopStreaming from: " + std::to_string(pid)));
    EXPECT_NE(m_web.Output().find("cvl-web: stopping (SIGTERM)\ncvl-web: stopped\n"),
              std::string::npos)
        << m_web.Output();
}

} // namespace
