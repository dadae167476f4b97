// cvl-web as a user runs it: the real service of a staged installation with
// the simulated camera, cvl-web on a free port of the loopback, and HTTP
// clients on plain sockets.
#include "cvlhost/FrameStamp.h"
#include "HttpProbe.h"
#include "ServiceHarness.h"
#include "ServiceLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
        ASSERT_TRUE(m_web.StartLive()) << m_web.Output() << m_web.Errors();
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
    HttpReply players = Get(port, "/stream.mkv", "HEAD");
    EXPECT_EQ(players.status, 200);
    EXPECT_EQ(players.Header("Content-Type"), "video/x-matroska");
    EXPECT_TRUE(players.body.empty());
    EXPECT_EQ(Get(port, "/", "HEAD").body, "");
    EXPECT_EQ(m_web.Stat("viewers"), 0);

    for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
        const HttpReply refused = Get(port, "/snapshot.jpg", method);
        EXPECT_EQ(refused.status, 405) << method;
        EXPECT_EQ(refused.Header("Allow"), "GET, HEAD") << method;
    }
    for (const char* path : {"/index.html", "/stream.mjpeg/", "/stream.mjpegx", "/stream.mkv/",
                             "/../etc/passwd", "/favicon.ico", "//"}) {
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

    // The request heads that the server answers itself: one reply each (the
    // library's own reply to these repeats its status line and headers),
    // and the connection closed after it.
    const std::vector<std::pair<const char*, std::string>> ours = {
        {"HTTP/1.1 without Host", "GET / HTTP/1.1\r\n\r\n"},
        {"blank before the colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n"},
        {"blank in a name", "GET /stats.json HTTP/1.0\r\nX Y: z\r\n\r\n"},
        {"two Hosts", "GET / HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n"},
        {"keep-alive after a bad head", "GET / HTTP/1.1\r\nHost\t: x\r\nConnection: keep-alive\r\n"
                                        "\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n"},
    };
    for (const auto& [name, raw] : ours) {
        const HttpReply reply = Exchange(port, raw);
        EXPECT_EQ(reply.status, 400) << name;
        EXPECT_EQ(reply.body, "bad request\n") << name << ": " << reply.raw;
        EXPECT_EQ(reply.raw.find("HTTP/1.", 1), std::string::npos) << name << ": " << reply.raw;
        EXPECT_TRUE(reply.closed) << name;
    }
    EXPECT_EQ(Get(port, "/stats.json").status, 200) << "an HTTP/1.0 request needs no Host";

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

TEST_F(CvlWeb, ClientsThatTrickleTheirRequestHeadsHoldNoPlaceAndAreClosedInTime) {
    const uint16_t port = m_web.Port();
    // 250 connections from one client address, each sending its request
    // head a byte a second: more than the whole connection limit.
    constexpr int kSlow = 250;
    const std::string head = "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    std::vector<int> slow;
    for (int i = 0; i < kSlow; ++i) {
        const int fd = ConnectLocal(port, "127.0.0.2");
        ASSERT_GE(fd, 0) << i;
        SendAll(fd, head.substr(0, 1));
        slow.push_back(fd);
    }
    int open = kSlow;
    size_t next = 1;
    int asked = 0;
    int served = 0;
    const auto start = std::chrono::steady_clock::now();
    // Every second: a byte more on each, and the page and the figures asked
    // for by another client and by the trickling client's own address. A
    // connection that keeps sending is never idle, so only a deadline on the
    // whole head closes it.
    while (open > 0 && std::chrono::steady_clock::now() - start < seconds(90)) {
        const char byte = next < head.size() ? head[next] : 'a';
        ++next;
        for (int& fd : slow)
            if (fd >= 0 && send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) {
                close(fd);
                fd = -1;
                --open;
            }
        for (const char* source : {"127.0.0.1", "127.0.0.2"})
            for (const char* path : {"/", "/stats.json"}) {
                ++asked;
                const HttpReply reply = Get(port, path, "GET", source);
                if (reply.status == 200)
                    ++served;
                else
                    ADD_FAILURE() << path << " from " << source << ": status " << reply.status;
            }
        // Up to a second for the server to close some of them.
        std::vector<pollfd> entries;
        for (int fd : slow)
            if (fd >= 0)
                entries.push_back(pollfd{fd, POLLIN, 0});
        if (poll(entries.data(), entries.size(), 1000) > 0)
            for (const pollfd& entry : entries) {
                char buffer[256];
                if (entry.revents && recv(entry.fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
                    const auto it = std::find(slow.begin(), slow.end(), entry.fd);
                    close(entry.fd);
                    *it = -1;
                    --open;
                }
            }
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int fd : slow)
        if (fd >= 0)
            close(fd);
    EXPECT_EQ(open, 0) << "connections still open after 90 s of a byte a second";
    EXPECT_EQ(served, asked);

    // Hundreds of closed connections make a line or two, not one each.
    ASSERT_TRUE(
        WaitFor([&] { return m_web.Errors().find("connection(s) closed") != std::string::npos; },
                seconds(20)))
        << m_web.Errors();
    int lines = 0;
    const std::string errors = m_web.Errors();
    for (size_t at = errors.find("connection(s)"); at != std::string::npos;
         at = errors.find("connection(s)", errors.find('\n', at)))
        ++lines;
    EXPECT_LE(lines, 3) << errors;
    EXPECT_TRUE(Serving());
    // The figures, for docs/security.md.
    std::printf("trickling: %d of %d connections closed in %.1f s; %d of %d requests served "
                "meanwhile; %d line(s) on standard error\n",
                kSlow - open, kSlow, elapsed, served, asked, lines);
}

TEST_F(CvlWeb, ViewersFillTheirPlacesAndLeaveRoomForThePageAndFigures) {
    const uint16_t port = m_web.Port();
    std::vector<int> viewers;
    // A viewer that reads nothing after its reply's head; its status.
    const auto watch = [&](const std::string& source) {
        const int fd = ConnectLocal(port, source);
        if (fd < 0)
            return -1;
        viewers.push_back(fd);
        SendAll(fd, "GET /stream.mjpeg HTTP/1.0\r\n\r\n");
        const std::string reply = ReadHead(fd, seconds(20));
        return reply.rfind("HTTP/1.", 0) == 0 ? std::atoi(reply.c_str() + 9) : 0;
    };
    // 150 viewers, from three client addresses (64 at most from one).
    const std::vector<std::pair<std::string, int>> clients = {
        {"127.0.0.3", 64}, {"127.0.0.4", 64}, {"127.0.0.5", 22}};
    for (const auto& [source, count] : clients)
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(watch(source), 200) << source << " viewer " << i;
    ASSERT_TRUE(WaitFor([&] { return m_web.Stat("viewers") == 150; }, seconds(20)));

    // Every viewer place taken: a stream more is refused with 503 ...
    const HttpReply busy = Get(port, "/stream.mjpeg", "GET", "127.0.0.6");
    EXPECT_EQ(busy.status, 503);
    EXPECT_FALSE(busy.Header("Retry-After").empty());
    // ... a client address with 64 viewers gets no connection more ...
    const HttpReply refused = Get(port, "/", "GET", "127.0.0.3");
    EXPECT_EQ(refused.status, 0);
    EXPECT_TRUE(refused.closed);
    // ... and the page, the snapshot and the figures are served.
    EXPECT_EQ(Get(port, "/").status, 200);
    EXPECT_EQ(Get(port, "/snapshot.jpg", "GET", "127.0.0.6").status, 200);
    EXPECT_EQ(Get(port, "/stats.json", "GET", "127.0.0.5").status, 200);

    // The places come back as viewers leave.
    for (int fd : viewers)
        close(fd);
    viewers.clear();
    ASSERT_TRUE(WaitFor([&] { return m_web.Stat("viewers") == 0; }, seconds(30)));
    EXPECT_EQ(watch("127.0.0.3"), 200);
    EXPECT_EQ(watch("127.0.0.6"), 200);
    for (int fd : viewers)
        close(fd);
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

    // Each viewer gets most of the frames the hub got, however fast that
    // was on this machine; the measured rates are in docs/benchmarks.md.
    for (const auto& viewer : viewers) {
        EXPECT_FALSE(viewer->Malformed());
        EXPECT_GE(viewer->Distinct(), 10);
        EXPECT_GE(viewer->Distinct() / viewer->Seconds(), 0.5 * hubFps);
    }
    EXPECT_LT(rssPeak - rssBefore, kRssGrowthKiB) << "KiB";

    // One stream from the service, whatever the number of viewers: every
    // frame sender is cvl-web's own and never two at once. A sender that a
    // loaded machine made fail is replaced when cvl-web asks again, which is
    // its recovery, not a second stream.
    const std::string ownSender = "frame sender " + std::to_string(m_web.Pid());
    int running = 0;
    int mostAtOnce = 0;
    for (const std::string& message : LogMessages()) {
        if (message.rfind("frame sender ", 0) != 0)
            continue;
        const bool started =
            message.size() > 8 && message.compare(message.size() - 8, 8, " started") == 0;
        const bool destroyed =
            message.size() > 10 && message.compare(message.size() - 10, 10, " destroyed") == 0;
        if (started) {
            EXPECT_EQ(message, ownSender + " started");
            mostAtOnce = std::max(mostAtOnce, ++running);
        } else if (destroyed) {
            --running;
        }
    }
    EXPECT_EQ(mostAtOnce, 1);

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
