#include "FrameMeasure.h"
#include "TestSupport.h"

#include <ZelSDK/ZelSDK.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using cvl::test::RunCommand;
using cvl::test::WaitFor;

namespace {

struct Events {
    std::mutex mutex;
    std::vector<uint32_t> properties;
    std::vector<uint32_t> states;
    std::thread::id thread;
};

ZelError OnProperty(uint32_t event, uint32_t property, uint32_t, void* context) {
    auto* e = static_cast<Events*>(context);
    std::lock_guard<std::mutex> lock(e->mutex);
    if (event == ZEL_PROPERTY_EVENT_CHANGED)
        e->properties.push_back(property);
    e->thread = std::this_thread::get_id();
    return 0;
}

ZelError OnState(uint32_t event, uint32_t, void* context) {
    auto* e = static_cast<Events*>(context);
    std::lock_guard<std::mutex> lock(e->mutex);
    e->states.push_back(event);
    return 0;
}

int Zelsim(const std::string& args, std::string* out = nullptr) {
    return RunCommand(cvl::test::Program("zelsim") + " " + args + " 2>/dev/null", out);
}

class ZelSDKTest : public ::testing::Test {
protected:
    void Init() { ASSERT_EQ(ZelInitializeSDK(), 0u); }
    void TearDown() override { ZelTerminateSDK(); }

    __ZelObject* FirstCamera() {
        __ZelObject* list = nullptr;
        __ZelObject* camera = nullptr;
        uint32_t count = 0;
        EXPECT_EQ(ZelGetCameraList(&list), 0u);
        EXPECT_EQ(ZelGetChildCount(list, &count), 0u);
        if (count > 0) {
            EXPECT_EQ(ZelGetChildAtIndex(list, 0, &camera), 0u);
        }
        ZelRelease(list);
        return camera;
    }
    void Register(__ZelObject* camera) {
        ASSERT_EQ(ZelSetPropertyEventHandler(camera, ZEL_PROPERTY_EVENT_ALL, OnProperty, &m_events),
                  0u);
        ASSERT_EQ(ZelSetCameraStateEventHandler(camera, ZEL_STATE_EVENT_ALL, OnState, &m_events),
                  0u);
    }
    bool SawProperty(uint32_t property, size_t times = 1) {
        std::lock_guard<std::mutex> lock(m_events.mutex);
        size_t n = 0;
        for (uint32_t p : m_events.properties)
            n += p == property;
        return n >= times;
    }
    bool SawState(uint32_t state) {
        std::lock_guard<std::mutex> lock(m_events.mutex);
        for (uint32_t s : m_events.states)
            if (s == state)
                return true;
        return false;
    }
    void StartEvf(__ZelObject* camera) {
        uint32_t value = 0;
        ASSERT_EQ(ZelGetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value), 0u);
        value |= ZEL_EVF_OUTPUT_HOST;
        ASSERT_EQ(ZelSetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value), 0u);
    }
    // One download; returns its code and the JPEG in jpeg.
    ZelError Download(__ZelObject* camera, std::string& jpeg) {
        __ZelObject* stream = nullptr;
        __ZelObject* image = nullptr;
        ZelError e = ZelCreateMemoryStream(0, &stream);
        if (!e)
            e = ZelCreateEvfImageRef(stream, &image);
        if (!e)
            e = ZelDownloadEvfImage(camera, image);
        uint8_t* bytes = nullptr;
        uint64_t length = 0;
        if (!e)
            e = ZelGetPointer(stream, &bytes);
        if (!e)
            e = ZelGetLength(stream, &length);
        if (!e && bytes)
            jpeg.assign(reinterpret_cast<char*>(bytes), length);
        ZelRelease(stream);
        ZelRelease(image);
        return e;
    }
    bool DownloadSoon(__ZelObject* camera, std::string& jpeg) {
        return WaitFor([&] { return Download(camera, jpeg) == 0; });
    }
    Events m_events;
};

unsigned long long CommentValue(const std::string& jpeg, const char* key) {
    if (jpeg.size() < 6 || static_cast<unsigned char>(jpeg[2]) != 0xFF ||
        static_cast<unsigned char>(jpeg[3]) != 0xFE)
        return 0;
    size_t length =
        (static_cast<unsigned char>(jpeg[4]) << 8) | static_cast<unsigned char>(jpeg[5]);
    std::string text = jpeg.substr(6, length - 2);
    size_t at = text.find(std::string(key) + "=");
    return at == std::string::npos
               ? 0
               : std::strtoull(text.c_str() + at + std::strlen(key) + 1, nullptr, 10);
}

void DecodeSize(const std::string& jpeg, int& width, int& height) {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&info, TRUE);
    width = static_cast<int>(info.image_width);
    height = static_cast<int>(info.image_height);
    jpeg_destroy_decompress(&info);
}

} // namespace

TEST_F(ZelSDKTest, CallsOutsideInitialisationAndBadReferencesFail) {
    __ZelObject* list = nullptr;
    EXPECT_EQ(ZelGetCameraList(&list), ZEL_ERR_SDK_NOT_INITIALIZED);
    Init();
    __ZelObject* camera = FirstCamera();
    ASSERT_NE(camera, nullptr);
    uint32_t count = 0;
    EXPECT_EQ(ZelOpenSession(nullptr), ZEL_ERR_INVALID_HANDLE);
    EXPECT_EQ(ZelGetChildCount(camera, &count), ZEL_ERR_INVALID_HANDLE); // wrong kind
    EXPECT_EQ(ZelOpenSession(reinterpret_cast<__ZelObject*>(&count)), ZEL_ERR_INVALID_HANDLE);
    ASSERT_EQ(ZelGetCameraList(&list), 0u);
    ASSERT_EQ(ZelRelease(list), 0u);
    EXPECT_EQ(ZelGetChildCount(list, &count), ZEL_ERR_INVALID_HANDLE); // released
    EXPECT_EQ(ZelRelease(list), ZEL_ERR_INVALID_HANDLE);
    uint32_t value = 0;
    EXPECT_EQ(ZelGetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value),
              ZEL_ERR_SESSION_NOT_OPEN);
    EXPECT_EQ(ZelGetPropertyData(camera, ZEL_PROP_LENS_BARREL, 0, 4, &value), 7u);
    ZelDeviceInfo info;
    ASSERT_EQ(ZelGetDeviceInfo(camera, &info), 0u);
    EXPECT_EQ(info.usable, 1u);
    EXPECT_EQ(ZelRelease(camera), 0u);
}

TEST_F(ZelSDKTest, LiveViewWarmsUpThenServesStampedFramesOfTheConfiguredSize) {
    setenv("ZELSIM_SIZE", "320x240", 1);
    Init();
    __ZelObject* camera = FirstCamera();
    Register(camera);
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    std::string jpeg;
    StartEvf(camera);
    EXPECT_EQ(Download(camera, jpeg), ZEL_ERR_FRAME_NOT_READY);
    ASSERT_TRUE(WaitFor([&] { return SawProperty(ZEL_PROP_EVF_OUTPUT); }));
    EXPECT_NE(m_events.thread, std::this_thread::get_id());
    ASSERT_TRUE(DownloadSoon(camera, jpeg));
    int width = 0, height = 0;
    DecodeSize(jpeg, width, height);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    unsigned long long first = CommentValue(jpeg, "seq");
    EXPECT_GT(first, 0u);
    EXPECT_GT(CommentValue(jpeg, "t"), 0u);
    ASSERT_TRUE(DownloadSoon(camera, jpeg));
    EXPECT_GT(CommentValue(jpeg, "seq"), first);

    // Live view switched off at the camera.
    ASSERT_EQ(Zelsim("evf off"), 0);
    ASSERT_TRUE(WaitFor([&] { return SawProperty(ZEL_PROP_EVF_OUTPUT, 2); }));
    uint32_t value = 0;
    ASSERT_EQ(ZelGetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value), 0u);
    EXPECT_EQ(value & ZEL_EVF_OUTPUT_HOST, 0u);
    EXPECT_EQ(Download(camera, jpeg), ZEL_ERR_FRAME_NOT_READY);
}

TEST_F(ZelSDKTest, LiveViewEventHandledBeforeTheWriteReturnsWhenAsked) {
    setenv("ZELSIM_EVF_EVENT", "before-return", 1);
    Init();
    __ZelObject* camera = FirstCamera();
    Register(camera);
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    StartEvf(camera);
    // Already handled, on the event thread, when the write returned.
    EXPECT_TRUE(SawProperty(ZEL_PROP_EVF_OUTPUT));
    EXPECT_NE(m_events.thread, std::this_thread::get_id());
    uint32_t off = 0;
    ASSERT_EQ(ZelSetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &off), 0u);
    EXPECT_TRUE(SawProperty(ZEL_PROP_EVF_OUTPUT, 2));
    ZelRelease(camera);
}

TEST_F(ZelSDKTest, BusyUnplugAndReplug) {
    Init();
    __ZelObject* camera = FirstCamera();
    Register(camera);
    ASSERT_EQ(Zelsim("busy on"), 0);
    EXPECT_EQ(ZelOpenSession(camera), ZEL_ERR_COMM_PORT_IS_IN_USE);
    ASSERT_EQ(Zelsim("busy off"), 0);
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    ASSERT_EQ(Zelsim("unplug"), 0);
    ASSERT_TRUE(WaitFor([&] { return SawState(ZEL_STATE_EVENT_DISCONNECTED); }));
    EXPECT_EQ(ZelOpenSession(camera), ZEL_ERR_DEVICE_NOT_FOUND);
    EXPECT_EQ(FirstCamera(), nullptr);
    EXPECT_EQ(Zelsim("unplug"), 3);
    ASSERT_EQ(Zelsim("plug lumidrift"), 0);
    __ZelObject* again = FirstCamera();
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, camera);
    ZelDeviceInfo info;
    ASSERT_EQ(ZelGetDeviceInfo(again, &info), 0u);
    EXPECT_EQ(std::string(info.description).rfind("Orvak Lumidrift", 0), 0u);
}

TEST_F(ZelSDKTest, LumidriftBarrelGatesLiveView) {
    setenv("ZELSIM_CAMERA", "lumidrift", 1);
    Init();
    __ZelObject* camera = FirstCamera();
    Register(camera);
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    uint32_t value = ZEL_EVF_OUTPUT_HOST;
    EXPECT_EQ(ZelSetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value), ZEL_ERR_LENS_CLOSED);
    ASSERT_EQ(ZelSendCommand(camera, ZEL_CMD_REMOTE_SHOOTING, 1), 0u);
    ASSERT_TRUE(WaitFor([&] { return SawProperty(ZEL_PROP_LENS_BARREL); }));
    ASSERT_EQ(ZelGetPropertyData(camera, ZEL_PROP_LENS_BARREL, 0, 4, &value), 0u);
    EXPECT_EQ(value, 1u);
    StartEvf(camera);
    ASSERT_TRUE(WaitFor([&] { return SawProperty(ZEL_PROP_EVF_OUTPUT); }));
    ASSERT_EQ(Zelsim("lens close"), 0);
    ASSERT_TRUE(WaitFor([&] { return SawProperty(ZEL_PROP_LENS_BARREL, 2); }));
    ASSERT_EQ(ZelGetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value), 0u);
    EXPECT_EQ(value & ZEL_EVF_OUTPUT_HOST, 0u);
    EXPECT_EQ(ZelSendCommand(camera, ZEL_CMD_EXTEND_SHUTDOWN_TIMER, 0), 0u);
    ASSERT_EQ(Zelsim("shutdown-soon"), 0);
    EXPECT_TRUE(WaitFor([&] { return SawState(ZEL_STATE_EVENT_SHUTDOWN_SOON); }));
}

TEST_F(ZelSDKTest, FailureInjectionCountsAndCallsAreListed) {
    setenv("ZELSIM_FAIL", "ZelInitializeSDK=2", 1);
    EXPECT_EQ(ZelInitializeSDK(), 2u);
    Init();
    __ZelObject* camera = FirstCamera();
    ASSERT_EQ(Zelsim("fail ZelOpenSession 129 2"), 0);
    EXPECT_EQ(ZelOpenSession(camera), 129u);
    EXPECT_EQ(ZelOpenSession(camera), 129u);
    EXPECT_EQ(ZelOpenSession(camera), 0u);
    std::string calls;
    ASSERT_EQ(Zelsim("calls --clear", &calls), 0);
    EXPECT_NE(calls.find("ZelInitializeSDK -> 2\n"), std::string::npos);
    EXPECT_NE(calls.find("ZelOpenSession camera="), std::string::npos);
    EXPECT_NE(calls.find(" -> 129\n"), std::string::npos);
    calls.clear();
    ASSERT_EQ(Zelsim("calls", &calls), 0);
    EXPECT_EQ(calls, "");
    std::string status;
    ASSERT_EQ(Zelsim("status", &status), 0);
    EXPECT_NE(status.find("session: open"), std::string::npos);
}

// The call list is read by the service's end-to-end tests: every line, and
// which check answers a call first, must stay exactly as documented.
TEST_F(ZelSDKTest, CallListLinesAreExact) {
    uint32_t count = 0;
    EXPECT_EQ(ZelRetain(nullptr), ZEL_ERR_SDK_NOT_INITIALIZED);
    Init();
    __ZelObject* list = nullptr;
    __ZelObject* camera = nullptr;
    ASSERT_EQ(ZelGetCameraList(&list), 0u);
    ASSERT_EQ(ZelGetChildAtIndex(list, 0, &camera), 0u);
    EXPECT_EQ(ZelGetChildAtIndex(list, 1, nullptr), ZEL_ERR_INVALID_POINTER);
    EXPECT_EQ(ZelSetPropertyEventHandler(camera, ZEL_PROPERTY_EVENT_ALL, OnProperty, &m_events),
              0u);
    EXPECT_EQ(ZelSetCameraStateEventHandler(camera, ZEL_PROPERTY_EVENT_ALL, nullptr, nullptr),
              ZEL_ERR_INVALID_PARAMETER);
    ASSERT_EQ(Zelsim("busy on"), 0);
    EXPECT_EQ(ZelOpenSession(camera), ZEL_ERR_COMM_PORT_IS_IN_USE);
    ASSERT_EQ(Zelsim("busy off"), 0);
    ASSERT_EQ(Zelsim("fail ZelOpenSession 0x62"), 0);
    EXPECT_EQ(ZelOpenSession(camera), ZEL_ERR_INVALID_PARAMETER);
    uint32_t value = 0;
    EXPECT_EQ(ZelGetPropertyData(camera, ZEL_PROP_SAVE_TARGET, 0, 4, &value),
              ZEL_ERR_SESSION_NOT_OPEN);
    EXPECT_EQ(ZelGetPropertyData(camera, 99, 0, 4, &value), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(ZelOpenSession(camera), 0u);
    EXPECT_EQ(ZelSetCapacity(camera, ZelCapacity{2147483647, 4096, 1}), 0u);
    EXPECT_EQ(ZelGetPropertyData(camera, ZEL_PROP_SAVE_TARGET, 0, 3, &value),
              ZEL_ERR_INVALID_LENGTH);
    value = 1;
    EXPECT_EQ(ZelSetPropertyData(camera, ZEL_PROP_SAVE_TARGET, -1, 4, &value), 0u);
    EXPECT_EQ(ZelSendCommand(camera, ZEL_CMD_REMOTE_SHOOTING, 1), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(ZelGetChildCount(nullptr, &count), ZEL_ERR_INVALID_HANDLE);
    EXPECT_EQ(ZelRetain(reinterpret_cast<__ZelObject*>(uintptr_t{0x1001})), ZEL_ERR_INVALID_HANDLE);
    ZelDeviceInfo info;
    EXPECT_EQ(ZelGetDeviceInfo(camera, &info), 0u);
    __ZelObject* stream = nullptr;
    __ZelObject* image = nullptr;
    ASSERT_EQ(ZelCreateMemoryStream(16, &stream), 0u);
    ASSERT_EQ(ZelCreateEvfImageRef(stream, &image), 0u);
    EXPECT_EQ(ZelDownloadEvfImage(camera, stream), ZEL_ERR_INVALID_HANDLE);
    EXPECT_EQ(ZelDownloadEvfImage(camera, image), ZEL_ERR_FRAME_NOT_READY);
    uint64_t length = 1;
    EXPECT_EQ(ZelGetLength(stream, &length), 0u);
    EXPECT_EQ(ZelCloseSession(camera), 0u);
    EXPECT_EQ(ZelRelease(image), 0u);
    EXPECT_EQ(ZelRelease(image), ZEL_ERR_INVALID_HANDLE);

    std::string calls;
    ASSERT_EQ(Zelsim("calls", &calls), 0);
    EXPECT_EQ(calls, "ZelRetain ref=null -> 33\n"
                     "ZelInitializeSDK -> 0\n"
                     "ZelGetCameraList -> 0 list=2\n"
                     "ZelGetChildAtIndex list=2 index=0 -> 0 camera=1\n"
                     "ZelGetChildAtIndex list=2 index=1 -> 97\n"
                     "ZelSetPropertyEventHandler camera=1 event=256 handler=set -> 0\n"
                     "ZelSetCameraStateEventHandler camera=1 event=256 handler=null -> 98\n"
                     "ZelOpenSession camera=1 -> 129\n"
                     "ZelOpenSession camera=1 -> 98\n"
                     "ZelGetPropertyData camera=1 property=11 parameter=0 size=4 -> 193\n"
                     "ZelGetPropertyData camera=1 property=99 parameter=0 size=4 -> 7\n"
                     "ZelOpenSession camera=1 -> 0\n"
                     "ZelSetCapacity camera=1 capacity=2147483647,4096,1 -> 0\n"
                     "ZelGetPropertyData camera=1 property=11 parameter=0 size=3 -> 99\n"
                     "ZelSetPropertyData camera=1 property=11 parameter=-1 size=4 value=1 -> 0\n"
                     "ZelSendCommand camera=1 command=271 parameter=1 -> 7\n"
                     "ZelGetChildCount list=null -> 96\n"
                     "ZelRetain ref=0 -> 96\n"
                     "ZelGetDeviceInfo camera=1 -> 0 description=\"Orvak Meridian 80\" usable=1\n"
                     "ZelCreateMemoryStream size=16 -> 0 stream=3\n"
                     "ZelCreateEvfImageRef stream=3 -> 0 image=4\n"
                     "ZelDownloadEvfImage camera=1 image=3 -> 96\n"
                     "ZelDownloadEvfImage camera=1 image=4 -> 41218\n"
                     "ZelGetLength stream=3 -> 0 length=0\n"
                     "ZelCloseSession camera=1 -> 0\n"
                     "ZelRelease ref=4 -> 0\n"
                     "ZelRelease ref=4 -> 96\n");
    ZelRelease(stream);
    ZelRelease(list);
    ZelRelease(camera);
}

TEST_F(ZelSDKTest, ZelsimExitCodes) {
    EXPECT_EQ(Zelsim("status"), 1); // no simulator yet
    EXPECT_EQ(Zelsim("dance"), 2);
    Init();
    EXPECT_EQ(Zelsim("busy maybe"), 2);
    EXPECT_EQ(Zelsim("fail NoSuchCall 2"), 3);
    EXPECT_EQ(Zelsim("fail ZelOpenSession -5"), 3);
    EXPECT_EQ(Zelsim("plug"), 3); // one attached already
    EXPECT_EQ(Zelsim("status"), 0);
}

TEST_F(ZelSDKTest, FolderIsPlayedInNameOrderWithItsBytesIntact) {
    std::string folder = cvl::test::MakeFolder("frames");
    std::string resources = cvl::test::BinaryDir() + "/resources/";
    const char* files[] = {"error.jpg", "errorBusy.jpg"};
    std::vector<std::string> originals;
    for (int i = 0; i < 2; ++i) {
        std::string bytes;
        ASSERT_TRUE(cvl::test::ReadFile(resources + files[i], bytes));
        ASSERT_TRUE(cvl::test::WriteFile(folder + "/" + std::to_string(i) + ".jpg", bytes));
        originals.push_back(bytes);
    }
    setenv("ZELSIM_FRAMES", folder.c_str(), 1);
    Init();
    __ZelObject* camera = FirstCamera();
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    StartEvf(camera);
    std::string jpeg;
    int matched = 0;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(DownloadSoon(camera, jpeg));
        size_t comment =
            2 + ((static_cast<unsigned char>(jpeg[4]) << 8) | static_cast<unsigned char>(jpeg[5]));
        std::string stripped = jpeg.substr(0, 2) + jpeg.substr(2 + comment);
        matched += stripped == originals[0] || stripped == originals[1];
    }
    EXPECT_EQ(matched, 4);
}

TEST_F(ZelSDKTest, ConcurrentCallsAndTerminateWhileEventsFlow) {
    Init();
    __ZelObject* camera = FirstCamera();
    Register(camera);
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            std::string jpeg;
            while (!stop) {
                uint32_t value = 0;
                ZelGetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value);
                value ^= ZEL_EVF_OUTPUT_HOST;
                ZelSetPropertyData(camera, ZEL_PROP_EVF_OUTPUT, 0, 4, &value);
                Download(camera, jpeg);
            }
        });
    WaitFor([&] { return SawProperty(ZEL_PROP_EVF_OUTPUT, 5); });
    EXPECT_EQ(ZelTerminateSDK(), 0u);
    size_t after;
    {
        std::lock_guard<std::mutex> lock(m_events.mutex);
        after = m_events.properties.size();
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    std::lock_guard<std::mutex> lock(m_events.mutex);
    EXPECT_EQ(m_events.properties.size(), after); // nothing after terminate returned
}

TEST_F(ZelSDKTest, LargestSizeIsServedByCopyAfterTheFirstEncode) {
    setenv("ZELSIM_SIZE", "3840x2160", 1);
    setenv("ZELSIM_DOWNLOAD_MS", "0", 1);
    Init();
    __ZelObject* camera = FirstCamera();
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    StartEvf(camera);
    std::string jpeg;
    ASSERT_TRUE(WaitFor([&] { return Download(camera, jpeg) == 0; }, std::chrono::seconds(30)));
    int width = 0, height = 0;
    DecodeSize(jpeg, width, height);
    EXPECT_EQ(width, 3840);
    EXPECT_EQ(height, 2160);
}

namespace {
ZelError TerminateInHandler(uint32_t, uint32_t, uint32_t, void* context) {
    static_cast<std::atomic<ZelError>*>(context)->store(ZelTerminateSDK());
    return 0;
}
} // namespace

TEST_F(ZelSDKTest, TerminateFromInsideAHandlerDoesNotDeadlock) {
    Init();
    __ZelObject* camera = FirstCamera();
    std::atomic<ZelError> result{999};
    ASSERT_EQ(
        ZelSetPropertyEventHandler(camera, ZEL_PROPERTY_EVENT_ALL, TerminateInHandler, &result),
        0u);
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    StartEvf(camera);
    ASSERT_TRUE(WaitFor([&] { return result.load() != 999u; }));
    EXPECT_EQ(result.load(), 0u);
    EXPECT_EQ(ZelOpenSession(camera), ZEL_ERR_SDK_NOT_INITIALIZED);
    EXPECT_EQ(ZelInitializeSDK(), 0u); // and the SDK can start again
}

namespace {

uint32_t Get(__ZelObject* camera, uint32_t property) {
    uint32_t value = 0;
    EXPECT_EQ(ZelGetPropertyData(camera, property, 0, 4, &value), 0u);
    return value;
}

ZelError Set(__ZelObject* camera, uint32_t property, uint32_t value) {
    return ZelSetPropertyData(camera, property, 0, 4, &value);
}

std::vector<int32_t> Allowed(__ZelObject* camera, uint32_t property) {
    ZelPropertyDesc desc = {};
    EXPECT_EQ(ZelGetPropertyDesc(camera, property, &desc), 0u);
    return std::vector<int32_t>(desc.propDesc, desc.propDesc + desc.numElements);
}

} // namespace

// Each setting shows in the next frames: brighter with exposure, tinted with
// white balance, magnified around the zoom position, blurred by a focus
// drive until autofocus, smaller with the live-view size. The values allowed
// depend on the model; a change on the body raises the property event; set
// calls fail on request like every call.
TEST_F(ZelSDKTest, SettingsShowInThePictureAndFollowTheModel) {
    setenv("ZELSIM_SIZE", "480x320", 1);
    setenv("ZELSIM_DOWNLOAD_MS", "0", 1);
    Init();
    __ZelObject* camera = FirstCamera();
    Register(camera);
    uint32_t value = 0;
    EXPECT_EQ(ZelGetPropertyData(camera, ZEL_PROP_ISO, 0, 4, &value), ZEL_ERR_SESSION_NOT_OPEN);
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    StartEvf(camera);
    auto measure = [&](cvl::test::FrameMeasure& m) {
        std::string jpeg;
        ASSERT_TRUE(DownloadSoon(camera, jpeg));
        ASSERT_TRUE(cvl::test::MeasureJpeg(jpeg, m));
        EXPECT_GT(CommentValue(jpeg, "seq"), 0u);
    };
    cvl::test::FrameMeasure plain;
    measure(plain);
    EXPECT_EQ(plain.width, 480);

    EXPECT_EQ(Allowed(camera, ZEL_PROP_ISO),
              (std::vector<int32_t>{0, 100, 200, 400, 800, 1600, 3200, 6400}));
    EXPECT_EQ(Allowed(camera, ZEL_PROP_EVF_SIZE).front(), static_cast<int32_t>(ZEL_SIZE(480, 320)));
    EXPECT_TRUE(Allowed(camera, ZEL_PROP_EVF_ZOOM_POSITION).empty());
    EXPECT_EQ(Get(camera, ZEL_PROP_APERTURE), 56u);
    EXPECT_EQ(Set(camera, ZEL_PROP_ISO, 900), ZEL_ERR_INVALID_PARAMETER);
    EXPECT_EQ(Get(camera, ZEL_PROP_ISO), 400u);

    cvl::test::FrameMeasure m;
    ASSERT_EQ(Set(camera, ZEL_PROP_EXPOSURE_COMPENSATION, 1000), 0u);
    measure(m);
    EXPECT_GT(m.Brightness(), plain.Brightness() * 1.3);
    ASSERT_EQ(Set(camera, ZEL_PROP_EXPOSURE_COMPENSATION, 0), 0u);
    ASSERT_EQ(Set(camera, ZEL_PROP_SHUTTER_SPEED, ZEL_SHUTTER(1, 250)), 0u);
    measure(m);
    EXPECT_LT(m.Brightness(), plain.Brightness() * 0.5);
    ASSERT_EQ(Set(camera, ZEL_PROP_SHUTTER_SPEED, ZEL_SHUTTER(1, 60)), 0u);

    ASSERT_EQ(Set(camera, ZEL_PROP_WHITE_BALANCE, ZEL_WB_TUNGSTEN), 0u);
    measure(m);
    EXPECT_GT(m.blue / m.red, plain.blue / plain.red * 1.4);
    ASSERT_EQ(Set(camera, ZEL_PROP_WHITE_BALANCE, ZEL_WB_AUTO), 0u);

    // The yellow bar (the second of eight, in the top quarter) fills the
    // picture at 10x around its middle.
    ASSERT_EQ(Set(camera, ZEL_PROP_EVF_ZOOM_POSITION, ZEL_POINT(187, 125)), 0u);
    ASSERT_EQ(Set(camera, ZEL_PROP_EVF_ZOOM, 10), 0u);
    measure(m);
    EXPECT_EQ(m.width, 480);
    EXPECT_GT(m.red, 200);
    EXPECT_GT(m.green, 200);
    EXPECT_LT(m.blue, 60);
    ASSERT_EQ(Set(camera, ZEL_PROP_EVF_ZOOM, 1), 0u);

    ASSERT_EQ(ZelSendCommand(camera, ZEL_CMD_DRIVE_FOCUS, ZEL_FOCUS_FAR(3)), 0u);
    measure(m);
    EXPECT_LT(m.sharpness, plain.sharpness * 0.6);
    ASSERT_EQ(ZelSendCommand(camera, ZEL_CMD_DRIVE_FOCUS, ZEL_FOCUS_NEAR(3)), 0u);
    measure(m);
    EXPECT_GT(m.sharpness, plain.sharpness * 0.8);
    ASSERT_EQ(ZelSendCommand(camera, ZEL_CMD_DRIVE_FOCUS, ZEL_FOCUS_NEAR(2)), 0u);
    ASSERT_EQ(ZelSendCommand(camera, ZEL_CMD_AUTOFOCUS, 0), 0u);
    measure(m);
    EXPECT_GT(m.sharpness, plain.sharpness * 0.8);
    EXPECT_EQ(ZelSendCommand(camera, ZEL_CMD_DRIVE_FOCUS, 4), ZEL_ERR_INVALID_PARAMETER);

    ASSERT_EQ(Set(camera, ZEL_PROP_EVF_SIZE, ZEL_SIZE(240, 160)), 0u);
    measure(m);
    EXPECT_EQ(m.width, 240);
    EXPECT_EQ(m.height, 160);

    // On the camera body: the value changes and the event names it.
    ASSERT_EQ(Zelsim("set iso 1600"), 0);
    ASSERT_TRUE(WaitFor([&] { return SawProperty(ZEL_PROP_ISO); }));
    EXPECT_EQ(Get(camera, ZEL_PROP_ISO), 1600u);
    EXPECT_NE(Zelsim("set iso 900"), 0);
    EXPECT_NE(Zelsim("set loudness 3"), 0);
    ASSERT_EQ(Zelsim("fail ZelSetPropertyData 0x8D01"), 0);
    EXPECT_EQ(Set(camera, ZEL_PROP_ISO, 800), ZEL_ERR_DEVICE_BUSY);
    EXPECT_EQ(Get(camera, ZEL_PROP_ISO), 1600u);

    // Another model allows other values.
    ASSERT_EQ(Zelsim("unplug"), 0);
    ASSERT_EQ(Zelsim("plug lumidrift"), 0);
    ZelRelease(camera);
    camera = FirstCamera();
    ASSERT_EQ(ZelOpenSession(camera), 0u);
    EXPECT_EQ(Allowed(camera, ZEL_PROP_ISO),
              (std::vector<int32_t>{0, 100, 200, 400, 800, 1600, 3200}));
    EXPECT_EQ(Allowed(camera, ZEL_PROP_EVF_ZOOM), (std::vector<int32_t>{1, 3}));
    EXPECT_EQ(Set(camera, ZEL_PROP_EVF_ZOOM, 10), ZEL_ERR_INVALID_PARAMETER);
    ZelRelease(camera);
}
