// The real service with the gphoto2 build of the SDK and its helper in the
// staged installation, and the PTP/IP test camera it streams from.
#ifndef CVL_TESTS_ZELSDK_GPHOTO2_GPHOTOSERVICEFIXTURE_H
#define CVL_TESTS_ZELSDK_GPHOTO2_GPHOTOSERVICEFIXTURE_H

#include "CVLClient.h"
#include "CameraProcess.h"
#include "FrameWatch.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace cvl::test {

// The test camera's rate: below the service's 35 downloads a second, so the
// camera sets the pace.
constexpr int kCameraFps = 25;
// libgphoto2 loads every camera driver and opens the session under the
// sanitizers on a shared machine: generous.
constexpr auto kConnect = seconds(40);

class GphotoService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_camera.Start(kCameraFps));
        m_options.zelsdkLibrary = GphotoLibrary();
        m_options.zelsdkCompanions = {GphotoHelper()};
    }

    void TearDown() override {
        // What the service did is the first thing to read when a case fails.
        if (HasFailure())
            for (const std::string& message : LogMessages())
                std::printf("service log: %s\n", message.c_str());
    }

    bool StartLive(CVLClient& client) {
        if (!m_service.Start(m_options))
            return false;
        client.StartStreaming();
        return StreamingAsked() && WaitForFrame(client, FrameKind::Live, kConnect);
    }

    // The service took the client's request: the client's own busy frame
    // after 5 s without frames looks the same as the service's.
    static bool StreamingAsked() {
        return WaitForLogMessage("received: StartStreaming from: " + std::to_string(getpid()));
    }

    CameraProcess m_camera;
    ServiceOptions m_options;
    ServiceProcess m_service;
};

} // namespace cvl::test

#endif
