// The request listener where the platform cannot name the process behind a
// message: built without the message-port sender facility, as on a platform
// that lacks one.
#include "RequestListener.h"

#include "RequestQueue.h"
#include "RequestSender.h"
#include "TestCameraController.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cvl::test::ReceivedRequests;
using cvl::test::WaitFor;

TEST(RequestListenerFallback, RequestsComeFromAnUnknownProcessAndTakeTurnsBySenderIdentifier) {
    RequestListener listener;
    listener.SetCameraController(cvl::test::TestController());
    ASSERT_TRUE(WaitFor([] { return SendRequestText("probe_SandboxTest"); }));
    ASSERT_TRUE(SendRequestText("5_StartStreaming"));
    ASSERT_TRUE(SendRequestText("6_StartStreaming"));
    ASSERT_TRUE(WaitFor([] { return ReceivedRequests().size() == 3; }));
    EXPECT_EQ(cvl::test::RequestProcesses(), std::vector<long>(3, -1));

    // Unknown processes share turns by the identifier each request carries.
    RequestQueue queue;
    for (const char* request : {"5_a", "5_b", "6_c"})
        queue.Add(request, -1);
    EXPECT_EQ(queue.Take(), "5_a");
    EXPECT_EQ(queue.Take(), "6_c");
    EXPECT_EQ(queue.Take(), "5_b");
}

} // namespace
