// The camera settings of the libgphoto2 build of the SDK against the PTP/IP
// test camera's device properties, while a thread downloads live view the
// whole time: each setting listed, read and written in the SDK's values and
// arriving on the camera in PTP's, a change on the body raising the changed
// event, a missing setting, slow property calls, and a body that leaves live
// view when a setting changes.
#include "CameraProcess.h"
#include "EvfDownloadLoop.h"
#include "TestSupport.h"

#include <ZelSDK/ZelSDK.h>
#include <cvlhost/JpegHeader.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace cvl::test {
namespace {

std::mutex g_eventMutex;
std::map<uint32_t, int> g_changed; // property -> changed events
std::atomic<int> g_disconnected{0};

ZelError OnProperty(uint32_t event, uint32_t property, uint32_t, void*) {
    std::lock_guard<std::mutex> lock(g_eventMutex);
    if (event == ZEL_PROPERTY_EVENT_CHANGED)
        ++g_changed[property];
    return 0;
}

ZelError OnState(uint32_t event, uint32_t, void*) {
    if (event == ZEL_STATE_EVENT_DISCONNECTED)
        ++g_disconnected;
    return 0;
}

int ChangedEvents(uint32_t property) {
    std::lock_guard<std::mutex> lock(g_eventMutex);
    return g_changed[property];
}

// Downloads live view on a thread of its own until stopped: the frames
// that came, the last one's size, and any failure other than a frame not
// ready yet.
class Stream {
public:
    explicit Stream(__ZelObject* camera)
        : m_loop(camera, [this](ZelError e, const uint8_t* bytes, uint64_t length) {
              int width = 0, height = 0;
              if (e == ZEL_ERR_OK && cvl::host::ReadJpegSize(bytes, length, width, height)) {
                  m_width = width;
                  ++m_frames;
              } else if (e != ZEL_ERR_FRAME_NOT_READY) {
                  ++m_failures;
              }
          }) {}
    uint64_t Frames() const { return m_frames; }
    int Failures() const { return m_failures; }
    int Width() const { return m_width; }
    // More frames than now come within the bound.
    bool Flows(std::chrono::seconds bound = std::chrono::seconds(20)) {
        const uint64_t now = m_frames;
        return WaitFor([&] { return m_frames >= now + 5; }, bound);
    }

private:
    std::atomic<uint64_t> m_frames{0};
    std::atomic<int> m_failures{0};
    std::atomic<int> m_width{0};
    // Last, so that it stops before the counters go.
    EvfDownloadLoop m_loop;
};

class GphotoSettings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_camera.Start(30));
        ASSERT_EQ(ZelInitializeSDK(), ZEL_ERR_OK);
        std::lock_guard<std::mutex> lock(g_eventMutex);
        g_changed.clear();
        g_disconnected = 0;
    }
    void TearDown() override {
        m_stream.reset();
        if (m_handle) {
            EXPECT_EQ(ZelCloseSession(m_handle), ZEL_ERR_OK);
            ZelRelease(m_handle);
        }
        EXPECT_EQ(ZelTerminateSDK(), ZEL_ERR_OK);
    }

    // Opens the camera's session, starts live view and the download thread.
    void Open() {
        __ZelObject* list = nullptr;
        ASSERT_EQ(ZelGetCameraList(&list), ZEL_ERR_OK);
        ASSERT_EQ(ZelGetChildAtIndex(list, 0, &m_handle), ZEL_ERR_OK);
        ZelRelease(list);
        ASSERT_EQ(ZelSetPropertyEventHandler(m_handle, ZEL_PROPERTY_EVENT_ALL, OnProperty, nullptr),
                  ZEL_ERR_OK);
        ASSERT_EQ(ZelSetCameraStateEventHandler(m_handle, ZEL_STATE_EVENT_ALL, OnState, nullptr),
                  ZEL_ERR_OK);
        ASSERT_EQ(ZelOpenSession(m_handle), ZEL_ERR_OK);
        const uint32_t host = ZEL_EVF_OUTPUT_HOST;
        ASSERT_EQ(ZelSetPropertyData(m_handle, ZEL_PROP_EVF_OUTPUT, 0, 4, &host), ZEL_ERR_OK);
        m_stream = std::make_unique<Stream>(m_handle);
        ASSERT_TRUE(m_stream->Flows());
    }

    ZelError Get(uint32_t property, uint32_t& value) {
        return ZelGetPropertyData(m_handle, property, 0, sizeof value, &value);
    }
    ZelError Set(uint32_t property, uint32_t value) {
        return ZelSetPropertyData(m_handle, property, 0, sizeof value, &value);
    }
    std::vector<uint32_t> Allowed(uint32_t property) {
        ZelPropertyDesc desc{};
        EXPECT_EQ(ZelGetPropertyDesc(m_handle, property, &desc), ZEL_ERR_OK) << property;
        return std::vector<uint32_t>(desc.propDesc, desc.propDesc + desc.numElements);
    }
    // The value on the camera, in PTP's form.
    std::string OnCamera(const char* code) { return m_camera.Command(std::string("prop ") + code); }

    CameraProcess m_camera;
    __ZelObject* m_handle = nullptr;
    std::unique_ptr<Stream> m_stream;
};

TEST_F(GphotoSettings, EachSettingIsListedReadAndWrittenWhileFramesStream) {
    Open();
    struct Case {
        uint32_t property;
        const char* code;
        std::vector<uint32_t> allowed;
        uint32_t initial;
        uint32_t next;
        std::string nextOnCamera;
    };
    const auto ec = [](int32_t thousandths) { return static_cast<uint32_t>(thousandths); };
    const Case cases[] = {
        {ZEL_PROP_ISO, "500f", {100, 200, 400, 800, 1600, 3200, 6400}, 400, 800, "800"},
        {ZEL_PROP_APERTURE, "5007", {28, 40, 56, 80, 110, 160}, 56, 80, "800"},
        {ZEL_PROP_SHUTTER_SPEED,
         "500d",
         {ZEL_SHUTTER(1, 1000), ZEL_SHUTTER(1, 500), ZEL_SHUTTER(1, 250), ZEL_SHUTTER(1, 125),
          ZEL_SHUTTER(1, 60), ZEL_SHUTTER(1, 30), ZEL_SHUTTER(1, 15), ZEL_SHUTTER(1, 8),
          ZEL_SHUTTER(1, 4), ZEL_SHUTTER(1, 2), ZEL_SHUTTER(1, 1)},
         ZEL_SHUTTER(1, 60),
         ZEL_SHUTTER(1, 30),
         "333"},
        {ZEL_PROP_EXPOSURE_COMPENSATION,
         "5010",
         {ec(-2000), ec(-1667), ec(-1333), ec(-1000), ec(-667), ec(-333), 0, 333, 667, 1000, 1333,
          1667, 2000},
         0,
         ec(-667),
         "-667"},
        {ZEL_PROP_WHITE_BALANCE,
         "5005",
         {ZEL_WB_AUTO, ZEL_WB_DAYLIGHT, ZEL_WB_FLUORESCENT, ZEL_WB_TUNGSTEN, ZEL_WB_FLASH,
          ZEL_WB_CLOUDY, ZEL_WB_SHADE},
         ZEL_WB_AUTO,
         ZEL_WB_SHADE,
         std::to_string(0x8011)},
        {ZEL_PROP_EVF_SIZE,
         "d6aa",
         {ZEL_SIZE(640, 480), ZEL_SIZE(1024, 768), ZEL_SIZE(1920, 1280)},
         ZEL_SIZE(640, 480),
         ZEL_SIZE(1024, 768),
         "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(Allowed(c.property), c.allowed);
        uint32_t value = 0;
        ASSERT_EQ(Get(c.property, value), ZEL_ERR_OK);
        EXPECT_EQ(value, c.initial);
        ASSERT_EQ(Set(c.property, c.next), ZEL_ERR_OK);
        EXPECT_EQ(OnCamera(c.code), c.nextOnCamera);
        ASSERT_EQ(Get(c.property, value), ZEL_ERR_OK);
        EXPECT_EQ(value, c.next);
        // A value the camera does not offer changes nothing.
        EXPECT_EQ(Set(c.property, c.next + 1), ZEL_ERR_INVALID_PARAMETER);
        EXPECT_EQ(OnCamera(c.code), c.nextOnCamera);
        EXPECT_TRUE(m_stream->Flows());
    }
    // The new live-view size is the frames' size.
    EXPECT_TRUE(WaitFor([&] { return m_stream->Width() == 1024; }, std::chrono::seconds(30)));

    // Focus: autofocus brings the picture into focus (position 0), the
    // steps move it by the body's own sizes (1 to 7 on this one).
    EXPECT_EQ(m_camera.Command("focus"), "4 0");
    EXPECT_EQ(ZelSendCommand(m_handle, ZEL_CMD_AUTOFOCUS, 0), ZEL_ERR_OK);
    EXPECT_EQ(m_camera.Command("focus"), "0 1");
    EXPECT_EQ(ZelSendCommand(m_handle, ZEL_CMD_DRIVE_FOCUS, ZEL_FOCUS_FAR(2)), ZEL_ERR_OK);
    EXPECT_EQ(m_camera.Command("focus"), "4 1");
    EXPECT_EQ(ZelSendCommand(m_handle, ZEL_CMD_DRIVE_FOCUS, ZEL_FOCUS_NEAR(1)), ZEL_ERR_OK);
    EXPECT_EQ(m_camera.Command("focus"), "3 1");
    EXPECT_EQ(ZelSendCommand(m_handle, ZEL_CMD_DRIVE_FOCUS, 0), ZEL_ERR_INVALID_PARAMETER);
    EXPECT_EQ(ZelSendCommand(m_handle, ZEL_CMD_DRIVE_FOCUS, 4), ZEL_ERR_INVALID_PARAMETER);

    // No live-view zoom on this body's driver: unavailable, and nothing else
    // suffers.
    uint32_t value = 0;
    ZelPropertyDesc desc{};
    EXPECT_EQ(Get(ZEL_PROP_EVF_ZOOM, value), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(Set(ZEL_PROP_EVF_ZOOM, 5), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(ZelGetPropertyDesc(m_handle, ZEL_PROP_EVF_ZOOM, &desc), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(Set(ZEL_PROP_EVF_ZOOM_POSITION, ZEL_POINT(500, 500)), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(ZelGetPropertyDesc(m_handle, ZEL_PROP_EVF_ZOOM, nullptr), ZEL_ERR_INVALID_POINTER);
    EXPECT_TRUE(m_stream->Flows());
    EXPECT_EQ(m_stream->Failures(), 0);
    EXPECT_EQ(g_disconnected.load(), 0);
    // The camera announced each of the host's own changes; none is one to
    // report.
    for (const Case& c : cases)
        EXPECT_EQ(ChangedEvents(c.property), 0) << c.code;
}

TEST_F(GphotoSettings, AChangeOnTheBodyRaisesTheChangedEventAndReadsBack) {
    Open();
    uint32_t value = 0;
    // Read just before, so that libgphoto2 holds the old value for a while.
    ASSERT_EQ(Get(ZEL_PROP_ISO, value), ZEL_ERR_OK);
    ASSERT_EQ(Get(ZEL_PROP_WHITE_BALANCE, value), ZEL_ERR_OK);
    ASSERT_EQ(m_camera.Command("body 500f 1600"), "ok");
    ASSERT_EQ(m_camera.Command("body 5005 4"), "ok");
    // A consumer reads once after each event: the read after the last one
    // has the new value (libgphoto2 may give the old one for a while after
    // the first).
    const auto readsBack = [&](uint32_t property, uint32_t expected) {
        int seen = 0;
        uint32_t read = 0;
        return WaitFor(
            [&] {
                const int events = ChangedEvents(property);
                if (events != seen) {
                    seen = events;
                    Get(property, read);
                }
                return read == expected;
            },
            std::chrono::seconds(20));
    };
    EXPECT_TRUE(readsBack(ZEL_PROP_ISO, 1600));
    EXPECT_TRUE(readsBack(ZEL_PROP_WHITE_BALANCE, ZEL_WB_DAYLIGHT));
    EXPECT_EQ(ChangedEvents(ZEL_PROP_APERTURE), 0);
    EXPECT_TRUE(m_stream->Flows());
    EXPECT_EQ(m_stream->Failures(), 0);
}

TEST_F(GphotoSettings, AMissingReadOnlyOrBusySettingSaysSoAndTheRestWorks) {
    ASSERT_EQ(m_camera.Command("without 5005"), "ok");
    ASSERT_EQ(m_camera.Command("without 5010"), "ok");
    ASSERT_EQ(m_camera.Command("lock 500d"), "ok");
    Open();
    uint32_t value = 0;
    ZelPropertyDesc desc{};
    for (uint32_t property : {ZEL_PROP_WHITE_BALANCE, ZEL_PROP_EXPOSURE_COMPENSATION}) {
        EXPECT_EQ(Get(property, value), ZEL_ERR_PROPERTY_UNAVAILABLE);
        EXPECT_EQ(Set(property, 0), ZEL_ERR_PROPERTY_UNAVAILABLE);
        EXPECT_EQ(ZelGetPropertyDesc(m_handle, property, &desc), ZEL_ERR_PROPERTY_UNAVAILABLE);
    }
    // A setting the body's mode decides reads, but does not change.
    ASSERT_EQ(Get(ZEL_PROP_SHUTTER_SPEED, value), ZEL_ERR_OK);
    EXPECT_EQ(value, ZEL_SHUTTER(1, 60));
    EXPECT_EQ(Set(ZEL_PROP_SHUTTER_SPEED, ZEL_SHUTTER(1, 30)), ZEL_ERR_PROPERTY_UNAVAILABLE);
    EXPECT_EQ(OnCamera("500d"), "167");
    EXPECT_EQ(Set(ZEL_PROP_ISO, 3200), ZEL_ERR_OK);
    EXPECT_EQ(OnCamera("500f"), "3200");
    EXPECT_EQ(Set(ZEL_PROP_APERTURE, 110), ZEL_ERR_OK);
    EXPECT_EQ(OnCamera("5007"), "1100");
    // A body busy writing: the caller is told to try again, and can.
    ASSERT_EQ(m_camera.Command("busy on"), "ok");
    EXPECT_EQ(Set(ZEL_PROP_ISO, 200), ZEL_ERR_DEVICE_BUSY);
    EXPECT_EQ(OnCamera("500f"), "3200");
    ASSERT_EQ(m_camera.Command("busy off"), "ok");
    EXPECT_EQ(Set(ZEL_PROP_ISO, 200), ZEL_ERR_OK);
    EXPECT_EQ(OnCamera("500f"), "200");
    EXPECT_TRUE(m_stream->Flows());
    EXPECT_EQ(m_stream->Failures(), 0);
}

TEST_F(GphotoSettings, SlowPropertyCallsTakeTheirTimeAndTheStreamGoesOn) {
    Open();
    // 1.5 s a property call: a set reads, writes and reads again.
    ASSERT_EQ(m_camera.Command("slow 1500"), "ok");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Set(ZEL_PROP_ISO, 1600), ZEL_ERR_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_TRUE(m_stream->Flows());
    ASSERT_EQ(Set(ZEL_PROP_SHUTTER_SPEED, ZEL_SHUTTER(1, 125)), ZEL_ERR_OK);
    EXPECT_TRUE(m_stream->Flows());
    uint32_t value = 0;
    ASSERT_EQ(Get(ZEL_PROP_ISO, value), ZEL_ERR_OK);
    EXPECT_EQ(value, 1600u);
    EXPECT_EQ(OnCamera("500d"), "80");
    ASSERT_EQ(m_camera.Command("slow 0"), "ok");
    EXPECT_TRUE(m_stream->Flows());
    EXPECT_EQ(m_stream->Failures(), 0);
    EXPECT_EQ(g_disconnected.load(), 0);
}

TEST_F(GphotoSettings, ABodyThatLeavesLiveViewOnAChangeIsBroughtBack) {
    Open();
    ASSERT_EQ(m_camera.Command("leave on"), "ok");
    for (uint32_t iso : {800u, 1600u}) {
        ASSERT_EQ(Set(ZEL_PROP_ISO, iso), ZEL_ERR_OK);
        EXPECT_TRUE(m_stream->Flows(std::chrono::seconds(30)));
    }
    // It left twice, and shows live view again.
    EXPECT_EQ(m_camera.Command("liveview"), "on 2");
    uint32_t value = 0;
    ASSERT_EQ(Get(ZEL_PROP_ISO, value), ZEL_ERR_OK);
    EXPECT_EQ(value, 1600u);
    EXPECT_EQ(m_stream->Failures(), 0);
    EXPECT_EQ(g_disconnected.load(), 0);
}

} // namespace
} // namespace cvl::test
