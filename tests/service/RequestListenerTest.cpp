#include "RequestListener.h"

#include "CVLPaths.h"
#include "RequestSender.h"
#include "ServiceTestLogger.h"
#include "SuccessReply.h"
#include "TestCameraController.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

using cvl::test::ReceivedRequests;
using cvl::test::WaitFor;

// Sends raw payload bytes to the request port and returns the reply bytes.
bool SendRaw(const std::string& payload, std::string& reply) {
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, CVL_REQUEST_PORT_NAME,
                                                 kCFStringEncodingASCII);
    CFMessagePortRef port = CFMessagePortCreateRemote(kCFAllocatorDefault, name);
    CFRelease(name);
    if (!port)
        return false;
    CFDataRef data =
        CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(payload.data()),
                     static_cast<CFIndex>(payload.size()));
    CFDataRef answer = nullptr;
    const SInt32 status =
        CFMessagePortSendRequest(port, 7, data, 1.0, 1.0, kCFRunLoopDefaultMode, &answer);
    if (answer) {
        reply.assign(reinterpret_cast<const char*>(CFDataGetBytePtr(answer)),
                     static_cast<size_t>(CFDataGetLength(answer)));
        CFRelease(answer);
    }
    CFRelease(data);
    CFMessagePortInvalidate(port);
    CFRelease(port);
    return status == kCFMessagePortSuccess;
}

std::string BuildRequest(int client, int index) {
    return std::to_string(client) + "_request " + std::to_string(index);
}

bool WaitForPort() {
    return WaitFor([] { return SendRequestText("probe_SandboxTest"); });
}

TEST(RequestListener, AnswersSuccessAtOnceAndHandsOverTheTextUpToItsNul) {
    EXPECT_FALSE(SendRequestText("1_StartStreaming")); // no service yet: false at once
    RequestListener listener;
    // Answered before any controller is registered: kept, and handed over
    // first when one registers.
    ASSERT_TRUE(WaitForPort());
    listener.SetCameraController(cvl::test::TestController());

    std::string reply;
    ASSERT_TRUE(SendRaw(std::string("812_StartStreaming\0junk", 23), reply));
    EXPECT_EQ(reply, std::string("success\0", 8));
    ASSERT_TRUE(SendRaw("812_a_b", reply)); // no NUL: the whole payload
    ASSERT_TRUE(SendRaw("", reply));        // empty payload: the empty text
    EXPECT_EQ(reply, std::string("success\0", 8));
    ASSERT_TRUE(SendRequestText("_Close"));

    ASSERT_TRUE(WaitFor([] { return ReceivedRequests().size() == 5; }));
    EXPECT_EQ(ReceivedRequests(),
              (std::vector<std::string>{"probe_SandboxTest", "812_StartStreaming", "812_a_b", "",
                                        "_Close"}));
    // Each with the sending process as the platform knows it, whatever the
    // text claims.
    EXPECT_EQ(cvl::test::RequestProcesses(), std::vector<long>(5, getpid()));
    EXPECT_EQ(cvl::test::CountLogMessages("request listener started"), 1);
}

// Settings requests are answered by the listener with the controller's reply
// and its NUL, never queued; before a controller registers they are told so.
// Texts that only look like them stay notes answered "success".
TEST(RequestListener, AnswersSettingsRequestsWithTheirDataAndQueuesNone) {
    RequestListener listener;
    ASSERT_TRUE(WaitForPort());
    std::string reply;
    ASSERT_TRUE(SendRaw(std::string("812_Settings\0", 13), reply));
    EXPECT_EQ(reply, std::string("error the service is starting; try again\n\0", 42));
    listener.SetCameraController(cvl::test::TestController());
    const size_t before = ReceivedRequests().size();

    ASSERT_TRUE(SendRaw(std::string("812_Set iso 800\0", 16), reply));
    EXPECT_EQ(reply, std::string("ok answered Set iso 800\n\0", 25));
    std::string text;
    ASSERT_TRUE(SendRequestForReply("9_Outcome 3", &text));
    EXPECT_EQ(text, "ok answered Outcome 3\n");
    ASSERT_TRUE(SendRequestForReply("9_SettingsX", &text));
    EXPECT_EQ(text, "success");
    ASSERT_TRUE(SendRequestForReply("9_Set", &text));
    EXPECT_EQ(text, "success");
    ASSERT_TRUE(WaitFor([&] { return ReceivedRequests().size() == before + 2; }));
    EXPECT_EQ(ReceivedRequests().back(), "9_Set");
}

// More requests than the start-up queue holds, before any controller is
// registered: what goes makes room as the controller's queue does, so each
// client's last request and its stream requests are handed over, and the
// drops are logged once.
TEST(RequestListener, BeforeTheControllerAFullStartUpQueueKeepsEachClientsLastRequest) {
    RequestListener listener;
    ASSERT_TRUE(WaitForPort());
    ASSERT_TRUE(SendRequestText("7_StartStreaming"));
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(SendRequestText("7_plugin fps: " + std::to_string(i)));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(SendRequestText(std::string(5000, 'L')));
    ASSERT_TRUE(SendRequestText("8_StopStreaming"));
    listener.SetCameraController(cvl::test::TestController());

    const std::vector<std::string> received = ReceivedRequests();
    EXPECT_LE(received.size(), 32u);
    const auto at = [&received](const std::string& text) {
        return std::find(received.begin(), received.end(), text) - received.begin();
    };
    const auto count = static_cast<long>(received.size());
    EXPECT_LT(at("probe_SandboxTest"), count);
    EXPECT_LT(at("8_StopStreaming"), count);
    EXPECT_LT(at("7_StartStreaming"), at("7_plugin fps: 39"));
    EXPECT_LT(at("7_plugin fps: 39"), count);
    EXPECT_EQ(cvl::test::CountLogMessages(
                  "request queue full before the camera controller started, dropping requests"),
              1);
    EXPECT_EQ(cvl::test::CountLogMessages("request too long, dropped"), 1);

    // Once handed over, requests go straight to the controller.
    ASSERT_TRUE(SendRequestText("9_StartStreaming"));
    EXPECT_TRUE(WaitFor([] { return ReceivedRequests().back() == "9_StartStreaming"; }));
}

TEST(RequestListener, FourClientsLoseNoRequestAndKeepTheirOrder) {
    RequestListener listener;
    ASSERT_TRUE(WaitForPort());
    listener.SetCameraController(cvl::test::TestController());

    constexpr int kClients = 4;
    constexpr int kRequests = 500;
    std::vector<std::thread> clients;
    std::vector<int> failures(kClients, 0);
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([c, &failures] {
            for (int i = 0; i < kRequests; ++i) {
                if (!SendRequestText(BuildRequest(c, i)))
                    ++failures[c];
            }
        });
    }
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(failures, std::vector<int>(kClients, 0));

    // The port's probe came first, before the controller registered.
    std::vector<std::string> received = ReceivedRequests();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.front(), "probe_SandboxTest");
    received.erase(received.begin());
    ASSERT_EQ(received.size(), static_cast<size_t>(kClients * kRequests));
    std::vector<int> next(kClients, 0);
    for (const std::string& text : received) {
        const int c = text[0] - '0';
        ASSERT_GE(c, 0);
        ASSERT_LT(c, kClients);
        EXPECT_EQ(text, BuildRequest(c, next[c]));
        ++next[c];
    }
}

TEST(RequestListener, ConstructingAndDestroyingInARowNeverHangs) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 500; ++i) {
        RequestListener listener;
    }
    // Generous: the point is that no destruction waits forever.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(100));
    EXPECT_EQ(cvl::test::CountLogMessages("request listener stopped"), 500);

    // And one built afterwards still serves.
    RequestListener listener;
    EXPECT_TRUE(WaitForPort());
}

TEST(RequestListener, ASecondListenerRunsOnWithoutAPort) {
    RequestListener first;
    ASSERT_TRUE(WaitForPort());
    {
        RequestListener second;
        ASSERT_TRUE(WaitFor([] {
            return cvl::test::CountLogMessages(
                       "request listener was unable to create the request port") == 1;
        }));
        EXPECT_TRUE(SendRequestText("2_SandboxTest"));
    }
    EXPECT_TRUE(SendRequestText("3_SandboxTest")); // the first one still serves
}

} // namespace
