// The settings of the PTP/IP test camera: the PTP standard's device
// properties for ISO (ExposureIndex 0x500F), aperture (FNumber 0x5007),
// shutter speed (ExposureTime 0x500D), exposure compensation
// (ExposureBiasCompensation 0x5010) and white balance (WhiteBalance 0x5005),
// and those libgphoto2 gives a camera of this camera's vendor for live-view
// size (0xD6AA, 640x480, 1024x768 and 1920x1280) and focus (0xD2C1, a half
// press of the shutter button, and 0xD2D1, near and far steps), all with
// enumerated values. It answers GetDevicePropDesc, GetDevicePropValue,
// SetDevicePropValue, and the vendor's SetControlDeviceB (0x9207) for the
// focus controls; that operation is not listed in the device information,
// which keeps libgphoto2 on its generic event path. A change, the host's or
// one on "the body", sends DevicePropChanged on every event connection.
//
// Two modes copy what some bodies do: property calls that take long
// (Slow), and a body that leaves live view when the host changes a setting
// and shows it again only in a new session (Leave).
#ifndef CVL_TESTS_ZELSDK_GPHOTO2_DEVICEPROPERTIES_H
#define CVL_TESTS_ZELSDK_GPHOTO2_DEVICEPROPERTIES_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zelsdk {
class FrameSource;
}

namespace cvl::test {

class DeviceProperties {
public:
    using Bytes = std::vector<uint8_t>;

    // The camera's own live-view size: the live-view size property is
    // offered when it is one of its values.
    DeviceProperties(int width, int height);
    ~DeviceProperties();
    DeviceProperties(const DeviceProperties&) = delete;
    DeviceProperties& operator=(const DeviceProperties&) = delete;

    // The property codes for the device information.
    std::vector<uint16_t> Codes();
    // An operation this answers.
    static bool Handles(uint16_t operation);
    // The response code, and the data to send before it (hasData).
    struct Answer {
        uint16_t code = 0;
        bool hasData = false;
        Bytes data;
    };
    Answer Operate(uint16_t operation, uint32_t property, const Bytes& hostData);

    void AddEventConnection(int fd);
    void RemoveEventConnection(int fd);

    // A new session: the body shows live view again.
    void SessionOpened();
    bool LiveView();
    // The pictures for the live-view size now; null for the camera's own.
    zelsdk::FrameSource* Frames();

    // One command line from standard input and its answer; false for a
    // line that is no command of these:
    //   prop <hex code>          the value                 -> <n> | unknown
    //   body <hex code> <n>      change it on the body, raising the event
    //                                                      -> ok | unknown | invalid
    //   without <hex code>       no such property in sessions opened later -> ok
    //   lock <hex code>          the body's mode makes it read only -> ok
    //   slow <ms>                property calls take that long (at most 2000:
    //                            libgphoto2 waits 2.5 s for an answer) -> ok | invalid
    //   leave on|off             the body leaves live view on a host's change -> ok
    //   busy on|off              property writes answer "device busy" -> ok
    //   liveview                 on|off, and how often it left -> on <n> | off <n>
    //   focus                    focus position (0 is sharp), autofocus runs
    //                                                      -> <position> <runs>
    bool Command(const std::string& line, std::string& reply);

private:
    struct Property {
        uint16_t code = 0;
        uint16_t type = 0;
        std::vector<int64_t> allowed; // empty: a control, any value
        int64_t value = 0;
        bool listed = true;
        bool settable = true;
    };
    Property* Find(uint16_t code);
    Bytes Describe(const Property& property) const;
    bool Write(uint16_t code, int64_t value, bool fromHost, bool& changed);
    void Raise(uint16_t code);

    std::mutex m_mutex;
    std::vector<Property> m_properties;
    int m_slowMs = 0;
    bool m_leave = false;
    bool m_busy = false;
    bool m_liveView = true;
    int m_exits = 0;
    int m_focus = 4;
    int m_autofocusRuns = 0;
    std::map<int64_t, std::unique_ptr<zelsdk::FrameSource>> m_frames; // by size value
    int64_t m_ownSize = 0;
    int64_t m_serving = 0; // the size whose pictures are served
    std::mutex m_eventMutex;
    std::set<int> m_eventConnections;
};

} // namespace cvl::test

#endif
