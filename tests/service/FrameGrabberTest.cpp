// The frame grabber's pace against a stand-in for the controller's download
// request, which records when each request came.
#include "FrameGrabber.h"

#include "CameraController.h"
#include "ServiceTestLogger.h"
#include "TestCameraController.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

std::mutex g_requestsMutex;
std::vector<Clock::time_point> g_requests;
// Requests that came after "frame grabber stopped" was logged.
int g_lateRequests = 0;

size_t Requests() {
    std::lock_guard<std::mutex> lock(g_requestsMutex);
    return g_requests.size();
}

} // namespace

void CameraController::DownloadEvf() {
    const bool late = cvl::test::CountLogMessages("frame grabber stopped") > 0;
    std::lock_guard<std::mutex> lock(g_requestsMutex);
    g_requests.push_back(Clock::now());
    g_lateRequests += late ? 1 : 0;
}

namespace {

TEST(FrameGrabber, RequestsAtMost35ASecondUntilDisabledAndStopsAfterItsWorker) {
    auto grabber = std::make_unique<FrameGrabber>();
    EXPECT_EQ(grabber->GetFrameRate(), 35);
    EXPECT_EQ(1000000 / grabber->GetFrameRate(), 28571);
    grabber->SetCameraController(cvl::test::TestController());
    grabber->Enable(true);
    ASSERT_TRUE(cvl::test::WaitFor([] { return Requests() >= 20; }));
    grabber->Enable(false);
    const size_t atDisable = Requests();
    {
        std::lock_guard<std::mutex> lock(g_requestsMutex);
        for (size_t i = 1; i < g_requests.size(); ++i)
            EXPECT_GE(g_requests[i] - g_requests[i - 1], microseconds(28571)) << i;
        // Twenty requests take at least nineteen periods.
        EXPECT_GE(g_requests[19] - g_requests[0], 19 * microseconds(28571));
    }
    // The request of the cycle under way may still come; none after it.
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LE(Requests(), atDisable + 1);
    EXPECT_TRUE(grabber->KeepRunning());

    // Enabled again and destroyed while enabled: the last request comes
    // before the stop line.
    grabber->Enable(true);
    const size_t again = Requests();
    ASSERT_TRUE(cvl::test::WaitFor([again] { return Requests() >= again + 3; }));
    grabber.reset();
    EXPECT_EQ(cvl::test::CountLogMessages("frame grabber stopped"), 1);
    std::lock_guard<std::mutex> lock(g_requestsMutex);
    EXPECT_EQ(g_lateRequests, 0);
}

TEST(FrameGrabber, NeverEnabledRequestsNothingAndGoesQuickly) {
    auto grabber = std::make_unique<FrameGrabber>();
    grabber->SetCameraController(cvl::test::TestController());
    ASSERT_TRUE(cvl::test::WaitFor(
        [] { return cvl::test::CountLogMessages("frame grabber started") == 1; }));
    std::this_thread::sleep_for(milliseconds(250));
    const auto asked = Clock::now();
    grabber.reset();
    // About 100 ms (one idle cycle) on a quiet machine; the bound leaves room
    // for a loaded one.
    EXPECT_LT(Clock::now() - asked, milliseconds(5000));
    EXPECT_EQ(Requests(), 0u);
    EXPECT_EQ(cvl::test::CountLogMessages("frame grabber stopped"), 1);
}

} // namespace
