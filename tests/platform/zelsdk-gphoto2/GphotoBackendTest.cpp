// The libgphoto2 build of the SDK called directly, against the PTP/IP test
// camera: what the header promises about references, sessions, properties
// and events, and what happens to a camera whose connection breaks.
#include "CameraProcess.h"
#include "TestSupport.h"

#include <ZelSDK/ZelSDK.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cvl::test {
namespace {

std::atomic<int> g_evfEvents{0};
std::atomic<int> g_otherPropertyEvents{0};
std::atomic<int> g_disconnected{0};

ZelError OnProperty(uint32_t event, uint32_t property, uint32_t, void*) {
    if (event == ZEL_PROPERTY_EVENT_CHANGED && property == ZEL_PROP_EVF_OUTPUT)
        ++g_evfEvents;
    else
        ++g_otherPropertyEvents;
    return 0;
}

ZelError OnState(uint32_t event, uint32_t, void*) {
    if (event == ZEL_STATE_EVENT_DISCONNECTED)
        ++g_disconnected;
    return 0;
}

// Processes this one started that run the helper.
std::vector<pid_t> Helpers() {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (const dirent* entry = proc ? readdir(proc) : nullptr) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string pid, name, state, parent;
        if (stat >> pid >> name >> state >> parent && parent == std::to_string(getpid()) &&
            name.find("zelsdk-gphoto2") != std::string::npos && state != "Z")
            found.push_back(std::stoi(pid));
    }
    if (proc)
        closedir(proc);
    return found;
}

// What each of a process's descriptors is ("pipe:[123]", "/dev/null", ...).
std::vector<std::string> DescriptorTargets(pid_t pid) {
    std::vector<std::string> targets;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    DIR* dir = opendir(folder.c_str());
    while (const dirent* entry = dir ? readdir(dir) : nullptr) {
        char target[256] = {};
        if (entry->d_name[0] != '.' &&
            readlink((folder + entry->d_name).c_str(), target, sizeof target - 1) > 0)
            targets.push_back(target);
    }
    if (dir)
        closedir(dir);
    return targets;
}

class GphotoBackend : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_camera.Start(50));
        ASSERT_EQ(ZelInitializeSDK(), ZEL_ERR_OK);
    }
    void TearDown() override {
        EXPECT_EQ(ZelTerminateSDK(), ZEL_ERR_OK);
        EXPECT_EQ(ZelTerminateSDK(), ZEL_ERR_SDK_NOT_INITIALIZED);
    }

    // The first camera of a new list, with its handlers.
    __ZelObject* FirstCamera() {
        __ZelObject* list = nullptr;
        __ZelObject* camera = nullptr;
        uint32_t count = 0;
        EXPECT_EQ(ZelGetCameraList(&list), ZEL_ERR_OK);
        EXPECT_EQ(ZelGetChildCount(list, &count), ZEL_ERR_OK);
        EXPECT_GE(count, 1u);
        EXPECT_EQ(ZelGetChildAtIndex(list, 0, &camera), ZEL_ERR_OK);
        ZelRelease(list);
        EXPECT_EQ(ZelSetPropertyEventHandler(camera, ZEL_PROPERTY_EVENT_ALL, OnProperty, nullptr),
                  ZEL_ERR_OK);
        EXPECT_EQ(ZelSetCameraStateEventHandler(camera, ZEL_STATE_EVENT_ALL, OnState, nullptr),
                  ZEL_ERR_OK);
        return camera;
    }

    static ZelError SetEvf(__ZelObject* camera, uint32_t value) {
        return ZelSetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, sizeof value, &value);
    }

    // One download; its stamp's sequence number in sequence.
    static ZelError Download(__ZelObject* camera, uint64_t& sequence) {
        __ZelObject* stream = nullptr;
        __ZelObject* image = nullptr;
        ZelError e = ZelCreateMemoryStream(0, &stream);
        if (e == ZEL_ERR_OK)
            e = ZelCreateEvfImageRef(stream, &image);
        if (e == ZEL_ERR_OK)
            e = ZelDownloadEvfImage(camera, image);
        uint8_t* bytes = nullptr;
        uint64_t length = 0;
        if (e == ZEL_ERR_OK && ZelGetPointer(stream, &bytes) == ZEL_ERR_OK &&
            ZelGetLength(stream, &length) == ZEL_ERR_OK && bytes && length > 40) {
            const std::string head(reinterpret_cast<char*>(bytes), 40);
            const size_t at = head.find("zelsim seq=");
            sequence = at == std::string::npos ? 0 : std::stoull(head.substr(at + 11));
            EXPECT_EQ(bytes[0], 0xFF);
            EXPECT_EQ(bytes[1], 0xD8);
            EXPECT_EQ(bytes[length - 2], 0xFF);
            EXPECT_EQ(bytes[length - 1], 0xD9);
        }
        ZelRelease(image);
        ZelRelease(stream);
        return e;
    }

    CameraProcess m_camera;
};

TEST_F(GphotoBackend, TheNamedCameraIsListedAndChecksComeBeforeTheCamera) {
    __ZelObject* camera = FirstCamera();
    ZelDeviceInfo info;
    ASSERT_EQ(ZelGetDeviceInfo(camera, &info), ZEL_ERR_OK);
    EXPECT_STREQ(info.description, "PTP/IP Camera");
    EXPECT_EQ(std::string(info.portName), m_camera.GphotoPort());
    EXPECT_EQ(info.usable, 1u);
    // The same camera, the same reference, while it stays.
    EXPECT_EQ(FirstCamera(), camera);
    ZelRelease(camera);

    uint32_t value = 0;
    EXPECT_EQ(ZelGetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value),
              ZEL_ERR_SESSION_NOT_OPEN);
    EXPECT_EQ(ZelGetPropertyData(camera, 0x1234, 0, 4, &value), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(ZelGetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 2, &value),
              ZEL_ERR_INVALID_LENGTH);
    EXPECT_EQ(ZelGetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, nullptr),
              ZEL_ERR_INVALID_POINTER);
    EXPECT_EQ(ZelCloseSession(camera), ZEL_ERR_SESSION_NOT_OPEN);
    uint64_t sequence = 0;
    EXPECT_EQ(Download(camera, sequence), ZEL_ERR_SESSION_NOT_OPEN);
    EXPECT_EQ(ZelSendCommand(camera, ZEL_CMD_REMOTE_SHOOTING, 1), ZEL_ERR_PROPERTY_UNAVAILABLE);

    // References that are none.
    int local = 0;
    EXPECT_EQ(ZelOpenSession(nullptr), ZEL_ERR_INVALID_HANDLE);
    EXPECT_EQ(ZelOpenSession(reinterpret_cast<__ZelObject*>(&local)), ZEL_ERR_INVALID_HANDLE);
    __ZelObject* stream = nullptr;
    ASSERT_EQ(ZelCreateMemoryStream(0, &stream), ZEL_ERR_OK);
    EXPECT_EQ(ZelOpenSession(stream), ZEL_ERR_INVALID_HANDLE);
    EXPECT_EQ(ZelRelease(stream), ZEL_ERR_OK);
    EXPECT_EQ(ZelRelease(stream), ZEL_ERR_INVALID_HANDLE);
    ZelRelease(camera);
    EXPECT_EQ(ZelGetDeviceInfo(camera, &info), ZEL_ERR_INVALID_HANDLE);
}

TEST_F(GphotoBackend, LiveViewRaisesOneEventPerChangeAndDownloadsStampedFrames) {
    __ZelObject* camera = FirstCamera();
    ASSERT_EQ(ZelOpenSession(camera), ZEL_ERR_OK);
    EXPECT_EQ(ZelOpenSession(camera), ZEL_ERR_OK);
    uint64_t sequence = 0;
    EXPECT_EQ(Download(camera, sequence), ZEL_ERR_FRAME_NOT_READY);

    ASSERT_EQ(SetEvf(camera, ZEL_EVF_OUTPUT_HOST), ZEL_ERR_OK);
    ASSERT_TRUE(WaitFor([] { return g_evfEvents.load() == 1; }));
    // Writing the same value again changes nothing and raises nothing.
    ASSERT_EQ(SetEvf(camera, ZEL_EVF_OUTPUT_HOST), ZEL_ERR_OK);
    uint32_t value = 0;
    ASSERT_EQ(ZelGetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value), ZEL_ERR_OK);
    EXPECT_EQ(value, ZEL_EVF_OUTPUT_HOST);

    uint64_t last = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(Download(camera, sequence), ZEL_ERR_OK);
        EXPECT_GT(sequence, last);
        last = sequence;
    }
    ASSERT_EQ(SetEvf(camera, 0), ZEL_ERR_OK);
    EXPECT_TRUE(WaitFor([] { return g_evfEvents.load() == 2; }));
    EXPECT_EQ(Download(camera, sequence), ZEL_ERR_FRAME_NOT_READY);
    EXPECT_EQ(ZelCloseSession(camera), ZEL_ERR_OK);
    EXPECT_EQ(g_otherPropertyEvents.load(), 0);
    EXPECT_EQ(g_disconnected.load(), 0);
    ZelRelease(camera);
}

TEST_F(GphotoBackend, ABrokenConnectionRaisesOneDisconnectedEventAndANewReference) {
    __ZelObject* camera = FirstCamera();
    ASSERT_EQ(ZelOpenSession(camera), ZEL_ERR_OK);
    ASSERT_EQ(SetEvf(camera, ZEL_EVF_OUTPUT_HOST), ZEL_ERR_OK);
    uint64_t sequence = 0;
    ASSERT_EQ(Download(camera, sequence), ZEL_ERR_OK);

    ASSERT_TRUE(m_camera.Away());
    // Whichever finds it first, the download or the event thread: one event.
    ASSERT_TRUE(WaitFor([&] {
        return Download(camera, sequence) == ZEL_ERR_DEVICE_NOT_FOUND && g_disconnected == 1;
    }));
    EXPECT_EQ(ZelCloseSession(camera), ZEL_ERR_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOpenSession(camera), ZEL_ERR_DEVICE_NOT_FOUND);

    // While it is away the named camera is listed, but cannot be opened.
    __ZelObject* absent = FirstCamera();
    EXPECT_NE(absent, camera);
    EXPECT_EQ(ZelOpenSession(absent), ZEL_ERR_DEVICE_NOT_FOUND);

    ASSERT_TRUE(m_camera.Back());
    EXPECT_EQ(ZelOpenSession(absent), ZEL_ERR_OK);
    EXPECT_EQ(g_disconnected.load(), 1);
    ZelRelease(absent);
    ZelRelease(camera);
}

} // namespace
} // namespace cvl::test

namespace cvl::test {
namespace {

TEST_F(GphotoBackend, LibgphotoRunsInAHelperThatCannotTouchThisProcessDescriptors) {
    // Descriptor 0 is a pipe here, as a client socket was in the service when
    // libgphoto2's PTP/IP disconnect closed it; the write end is one that the
    // helper must not inherit.
    int pipe[2];
    ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
    const int savedInput = dup(0);
    ASSERT_EQ(dup2(pipe[0], 0), 0);
    struct stat before;
    ASSERT_EQ(fstat(0, &before), 0);

    __ZelObject* camera = FirstCamera();
    ASSERT_EQ(ZelOpenSession(camera), ZEL_ERR_OK);
    ASSERT_EQ(SetEvf(camera, ZEL_EVF_OUTPUT_HOST), ZEL_ERR_OK);
    uint64_t sequence = 0;
    ASSERT_EQ(Download(camera, sequence), ZEL_ERR_OK);
    const std::vector<pid_t> helpers = Helpers();
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_FALSE(MapsLibgphoto2(getpid()));
    EXPECT_TRUE(MapsLibgphoto2(helpers[0]));
    const std::string writeEnd = "pipe:[" + std::to_string(before.st_ino) + "]";
    for (const std::string& target : DescriptorTargets(helpers[0]))
        EXPECT_NE(target, writeEnd);

    // The connection breaks mid-session: libgphoto2 ends it in the helper.
    ASSERT_TRUE(m_camera.Away());
    ASSERT_TRUE(WaitFor([&] { return g_disconnected == 1; }));
    ASSERT_TRUE(m_camera.Back());
    __ZelObject* again = FirstCamera();
    ASSERT_EQ(ZelOpenSession(again), ZEL_ERR_OK);
    EXPECT_EQ(ZelCloseSession(again), ZEL_ERR_OK);

    struct stat after;
    ASSERT_EQ(fstat(0, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(write(pipe[1], "x", 1), 1);
    dup2(savedInput, 0);
    close(savedInput);
    close(pipe[0]);
    close(pipe[1]);
    ZelRelease(again);
    ZelRelease(camera);
}

TEST_F(GphotoBackend, AHelperThatDiesLosesItsSessionsAndANewOneServesTheNextCall) {
    __ZelObject* camera = FirstCamera();
    ASSERT_EQ(ZelOpenSession(camera), ZEL_ERR_OK);
    ASSERT_EQ(SetEvf(camera, ZEL_EVF_OUTPUT_HOST), ZEL_ERR_OK);
    uint64_t sequence = 0;
    ASSERT_EQ(Download(camera, sequence), ZEL_ERR_OK);
    std::vector<pid_t> helpers = Helpers();
    ASSERT_EQ(helpers.size(), 1u);
    pid_t old = helpers[0];
    ASSERT_EQ(kill(old, SIGKILL), 0);

    // As a camera that went away: one disconnected event, then not found.
    ASSERT_TRUE(WaitFor([&] {
        return Download(camera, sequence) == ZEL_ERR_DEVICE_NOT_FOUND && g_disconnected == 1;
    }));
    __ZelObject* again = FirstCamera();
    EXPECT_NE(again, camera);
    ASSERT_EQ(ZelOpenSession(again), ZEL_ERR_OK);
    ASSERT_EQ(SetEvf(again, ZEL_EVF_OUTPUT_HOST), ZEL_ERR_OK);
    EXPECT_EQ(Download(again, sequence), ZEL_ERR_OK);
    helpers = Helpers();
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_NE(helpers[0], old);
    // The dead one was reaped.
    EXPECT_FALSE(FileExists("/proc/" + std::to_string(old)));
    EXPECT_EQ(g_disconnected.load(), 1);
    EXPECT_EQ(ZelCloseSession(again), ZEL_ERR_OK);
    ZelRelease(again);
    ZelRelease(camera);
}

TEST_F(GphotoBackend, FramesOverTheBoundAreNotTakenAndReportedOnceABurst) {
    // The helper's standard error is this process's at the time it starts,
    // with the SDK.
    ASSERT_EQ(ZelTerminateSDK(), ZEL_ERR_OK);
    const std::string logPath = TempFolder() + "/helper-stderr.txt";
    const int savedError = dup(2);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(log, 0);
    ASSERT_EQ(dup2(log, 2), 2);
    close(log);
    const ZelError initialized = ZelInitializeSDK();
    dup2(savedError, 2);
    close(savedError);
    ASSERT_EQ(initialized, ZEL_ERR_OK);
    __ZelObject* camera = FirstCamera();

    ASSERT_EQ(ZelOpenSession(camera), ZEL_ERR_OK);
    ASSERT_EQ(SetEvf(camera, ZEL_EVF_OUTPUT_HOST), ZEL_ERR_OK);
    uint64_t sequence = 0;
    ASSERT_EQ(Download(camera, sequence), ZEL_ERR_OK);
    // 24 MiB previews: skipped as frames not ready, the session stays.
    ASSERT_TRUE(m_camera.Fault("oversized", 600));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Download(camera, sequence), ZEL_ERR_FRAME_NOT_READY);
    ASSERT_TRUE(m_camera.Fault("none", 0));
    EXPECT_EQ(Download(camera, sequence), ZEL_ERR_OK);
    EXPECT_GT(sequence, 0u);
    EXPECT_EQ(g_disconnected.load(), 0);
    EXPECT_EQ(ZelCloseSession(camera), ZEL_ERR_OK);
    ZelRelease(camera);

    std::string written;
    ASSERT_TRUE(ReadFile(logPath, written));
    int reports = 0;
    for (const std::string& line : SplitLines(written))
        reports += line.find("dropped, over the bound") != std::string::npos ? 1 : 0;
    EXPECT_EQ(reports, 1) << written;
}

} // namespace
} // namespace cvl::test
