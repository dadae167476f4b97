// Every SDK call that the service makes while it connects to the camera,
// starts live view and downloads frames, failed once by the simulator: the
// service must neither crash nor hang, and the client must get live frames
// again once the fault has passed. With CVL_SDK_FAILURE_TABLE naming a file,
// each case appends its row of the table in docs/reliability.md
// (bench/reliability/sdk-failures.sh collects them).
#include "CVLClient.h"
#include "EvfFrame.h"
#include "FrameWatch.h"
#include "ServiceHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace cvl::test {
namespace {

constexpr unsigned kCode = 2; // ZEL_ERR_INTERNAL_ERROR

struct Fault {
    const char* phase; // "connect", "live view" or "download"
    const char* call;
};

std::string Name(const Fault& fault) {
    return std::string(fault.phase).substr(0, 4) + "_" + fault.call;
}

bool Running(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

bool FailedOnce(const std::string& call) {
    const std::string failed = " -> " + std::to_string(kCode);
    for (const std::string& line : ZelsimCalls())
        if (line.rfind(call + " ", 0) == 0 && line.size() > failed.size() &&
            line.compare(line.size() - failed.size(), failed.size(), failed) == 0)
            return true;
    return false;
}

const char* KindName(FrameKind kind) {
    switch (kind) {
    case FrameKind::Live:
        return "live";
    case FrameKind::Error:
        return "error";
    case FrameKind::Busy:
        return "busy";
    case FrameKind::Disconnected:
        return "disconnected";
    case FrameKind::Other:
        break;
    }
    return "other";
}

void AppendRow(const std::string& row) {
    const char* table = std::getenv("CVL_SDK_FAILURE_TABLE");
    if (!table || !*table)
        return;
    const int fd = open(table, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        return;
    const std::string line = row + "\n";
    ssize_t written = write(fd, line.data(), line.size()); // one write: rows never mix
    (void)written;
    close(fd);
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

class SdkFailure : public ::testing::TestWithParam<Fault> {};

TEST_P(SdkFailure, TheServiceGoesOnAndTheClientStreamsAgain) {
    const Fault fault = GetParam();
    const bool download = std::string(fault.phase) == "download";
    ServiceProcess service;
    CVLClient client;
    const std::string arm = std::string("fail ") + fault.call + " " + std::to_string(kCode) + " 1";
    if (download) {
        ASSERT_TRUE(StartLiveStream(service, client));
        Zelsim(arm);
    } else {
        ASSERT_TRUE(service.Start());
        Zelsim(arm);
        client.StartStreaming();
    }

    // What the client is handed from the fault until live frames flow again,
    // in order of first appearance; the frames live before the fault (after
    // it, in the download phase) do not count until the call has failed.
    const auto start = std::chrono::steady_clock::now();
    std::string saw;
    uint64_t lastLive = 0;
    int freshLive = 0;
    bool failed = false;
    std::string lastName;
    for (int round = 0; std::chrono::steady_clock::now() - start < seconds(30) && freshLive < 10;
         ++round) {
        std::unique_ptr<EvfFrame> frame(client.GetFrame());
        // zelsim is a process of its own: asked every 100 ms.
        failed = failed || (round % 10 == 0 && FailedOnce(fault.call));
        const FrameKind kind = KindOf(*frame);
        uint64_t sequence = 0;
        if (kind == FrameKind::Live && FrameSequence(*frame, sequence) && sequence != lastLive) {
            lastLive = sequence;
            if (failed)
                ++freshLive;
        }
        if (failed || !download) {
            const std::string name = KindName(kind);
            if (name != lastName)
                saw += (saw.empty() ? "" : ", then ") + name;
            lastName = name;
        }
        usleep(10000);
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool running = Running(service.Pid());
    const bool recovered = running && failed && freshLive >= 10;
    AppendRow(std::string("| ") + fault.phase + " | " + fault.call + " | " + std::to_string(kCode) +
              " | " + (failed ? saw : "the call was not made") + " | " +
              (recovered ? "yes" : "no") + " | " + (recovered ? Seconds(took) : "-") + " |");
    EXPECT_TRUE(failed) << fault.call << " was not called after the fault was armed";
    EXPECT_TRUE(running) << "the service ended";
    EXPECT_GE(freshLive, 10) << "no live frames after " << fault.call << " failed; saw " << saw;

    // No hang: the service still answers and ends when told.
    client.StopStreaming();
    service.Terminate();
    EXPECT_EQ(service.WaitForExit(seconds(20)), 0);
}

// The calls in the order the service makes them (zelsim calls of a clean
// stream); ZelRelease gives back the camera list while connecting and every
// frame's objects while downloading.
const Fault kFaults[] = {
    {"connect", "ZelGetCameraList"},
    {"connect", "ZelGetChildCount"},
    {"connect", "ZelGetChildAtIndex"},
    {"connect", "ZelGetDeviceInfo"},
    {"connect", "ZelRelease"},
    {"connect", "ZelSetPropertyEventHandler"},
    {"connect", "ZelSetObjectEventHandler"},
    {"connect", "ZelSetCameraStateEventHandler"},
    {"connect", "ZelOpenSession"},
    {"live view", "ZelSetPropertyData"},
    {"live view", "ZelSetCapacity"},
    {"live view", "ZelGetPropertyData"},
    {"download", "ZelCreateMemoryStream"},
    {"download", "ZelCreateEvfImageRef"},
    {"download", "ZelDownloadEvfImage"},
    {"download", "ZelGetPointer"},
    {"download", "ZelGetLength"},
    {"download", "ZelRelease"},
};

INSTANTIATE_TEST_SUITE_P(EveryCall, SdkFailure, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                             return Name(info.param);
                         });

} // namespace
} // namespace cvl::test
