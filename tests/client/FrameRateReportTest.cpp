// Frame-rate reports over a whole stream: ten after a StartStreaming, one
// per interval of more than a second, then none until the next
// StartStreaming allows ten more. About 22 s, so labelled slow.
#include "CVLClient.h"

#include "PortTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace cvl::test;
using std::chrono::milliseconds;
using std::chrono::seconds;

int Reports(RecordingRequestPort& service) {
    const std::string prefix = std::to_string(getpid()) + "_plugin fps: ";
    int reports = 0;
    for (const std::string& payload : service.Payloads())
        reports += payload.rfind(prefix, 0) == 0 ? 1 : 0;
    return reports;
}

// Fetches frames every 20 ms, as a host would, for as long as it lasts.
void FetchFor(CVLClient& client, milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        std::unique_ptr<EvfFrame> frame(client.GetFrame());
        std::this_thread::sleep_for(milliseconds(20));
    }
}

bool FetchUntilReports(CVLClient& client, RecordingRequestPort& service, int reports) {
    return WaitFor(
        [&] {
            std::unique_ptr<EvfFrame> frame(client.GetFrame());
            std::this_thread::sleep_for(milliseconds(20));
            return Reports(service) >= reports;
        },
        seconds(60));
}

TEST(FrameRateReports, TenPerStartStreamingAndTenMoreAfterTheNext) {
    RecordingRequestPort service;
    CVLClient client;
    client.StartStreaming();
    ASSERT_TRUE(FetchUntilReports(client, service, 10));
    // Two more intervals bring no eleventh.
    FetchFor(client, milliseconds(2200));
    EXPECT_EQ(Reports(service), 10);

    client.StartStreaming();
    ASSERT_TRUE(FetchUntilReports(client, service, 20));
    FetchFor(client, milliseconds(1200));
    EXPECT_EQ(Reports(service), 20);
    client.StopStreaming();
}

} // namespace
