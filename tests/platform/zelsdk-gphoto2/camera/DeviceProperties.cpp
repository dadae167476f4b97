#include "DeviceProperties.h"

#include "FrameSource.h"
#include "Wire.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace cvl::test {

namespace {

constexpr uint16_t kGetDevicePropDesc = 0x1014, kGetDevicePropValue = 0x1015,
                   kSetDevicePropValue = 0x1016, kSetControlDeviceB = 0x9207;
constexpr uint16_t kOk = 0x2001, kOperationNotSupported = 0x2005, kDevicePropNotSupported = 0x200A,
                   kAccessDenied = 0x200F, kDeviceBusy = 0x2019, kInvalidPropertyValue = 0x201C;
constexpr uint16_t kDevicePropChanged = 0x4006;
constexpr uint16_t kUint8 = 0x0002, kInt16 = 0x0003, kUint16 = 0x0004, kUint32 = 0x0006;
constexpr uint16_t kLiveViewSize = 0xD6AA, kAutofocus = 0xD2C1, kNearFar = 0xD2D1;
constexpr uint32_t kEventPacket = 8;
constexpr int kMaxSlowMs = 2000;

struct Size {
    int64_t value;
    int width, height;
};
const Size kSizes[] = {{1, 640, 480}, {2, 1024, 768}, {3, 1920, 1280}};

int Width(uint16_t type) {
    return type == kUint8 ? 1 : type == kUint32 ? 4 : 2;
}

void Append(DeviceProperties::Bytes& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A value of the type from the host's data, sign extended for INT16.
bool Value(const DeviceProperties::Bytes& data, uint16_t type, int64_t& value) {
    const int bytes = Width(type);
    if (data.size() < static_cast<size_t>(bytes))
        return false;
    uint64_t raw = 0;
    for (int i = 0; i < bytes; ++i)
        raw |= static_cast<uint64_t>(data[static_cast<size_t>(i)]) << (8 * i);
    value = type == kInt16 ? static_cast<int16_t>(raw) : static_cast<int64_t>(raw);
    return true;
}

} // namespace

DeviceProperties::DeviceProperties(int width, int height) {
    // Exposure time in tenths of milliseconds, f-number in hundredths,
    // compensation in thousandths of a stop; white balance: automatic,
    // daylight, fluorescent, tungsten, flash, and the vendor's cloudy and
    // shade.
    m_properties = {
        {0x500F, kUint16, {100, 200, 400, 800, 1600, 3200, 6400}, 400},
        {0x5007, kUint16, {280, 400, 560, 800, 1100, 1600}, 560},
        {0x500D, kUint32, {10, 20, 40, 80, 167, 333, 667, 1250, 2500, 5000, 10000}, 167},
        {0x5010,
         kInt16,
         {-2000, -1667, -1333, -1000, -667, -333, 0, 333, 667, 1000, 1333, 1667, 2000},
         0},
        {0x5005, kUint16, {2, 4, 5, 6, 7, 0x8010, 0x8011}, 2},
        {kAutofocus, kUint16, {}, 1},
        {kNearFar, kUint16, {}, 0},
    };
    for (const Size& size : kSizes)
        if (size.width == width && size.height == height)
            m_ownSize = size.value;
    if (m_ownSize)
        m_properties.push_back({kLiveViewSize, kUint8, {1, 2, 3}, m_ownSize});
    m_serving = m_ownSize;
}

DeviceProperties::~DeviceProperties() {
    for (auto& [value, frames] : m_frames)
        frames->Stop();
}

bool DeviceProperties::Handles(uint16_t operation) {
    return operation == kGetDevicePropDesc || operation == kGetDevicePropValue ||
           operation == kSetDevicePropValue || operation == kSetControlDeviceB;
}

std::vector<uint16_t> DeviceProperties::Codes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint16_t> codes;
    for (const Property& property : m_properties)
        if (property.listed)
            codes.push_back(property.code);
    return codes;
}

DeviceProperties::Property* DeviceProperties::Find(uint16_t code) {
    for (Property& property : m_properties)
        if (property.code == code && property.listed)
            return &property;
    return nullptr;
}

DeviceProperties::Bytes DeviceProperties::Describe(const Property& property) const {
    const int bytes = Width(property.type);
    Bytes out;
    Append(out, property.code, 2);
    Append(out, property.type, 2);
    out.push_back(property.settable ? 1 : 0);                  // get and set, or get only
    Append(out, static_cast<uint64_t>(property.value), bytes); // factory default
    Append(out, static_cast<uint64_t>(property.value), bytes);
    if (property.allowed.empty()) {
        out.push_back(0); // no form
        return out;
    }
    out.push_back(2); // enumeration
    Append(out, property.allowed.size(), 2);
    for (int64_t value : property.allowed)
        Append(out, static_cast<uint64_t>(value), bytes);
    return out;
}

DeviceProperties::Answer DeviceProperties::Operate(uint16_t operation, uint32_t code,
                                                   const Bytes& hostData) {
    int slow = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        slow = m_slowMs;
    }
    // As a body that takes its time over every property call.
    if (slow > 0)
        usleep(static_cast<useconds_t>(slow) * 1000);
    std::unique_lock<std::mutex> lock(m_mutex);
    Answer answer;
    bool changed = false;
    Property* property = Find(static_cast<uint16_t>(code));
    if (!property) {
        answer.code = kDevicePropNotSupported;
        return answer;
    }
    int64_t value = 0;
    switch (operation) {
    case kGetDevicePropDesc:
        answer.hasData = true;
        answer.data = Describe(*property);
        break;
    case kGetDevicePropValue:
        answer.hasData = true;
        Append(answer.data, static_cast<uint64_t>(property->value), Width(property->type));
        break;
    case kSetDevicePropValue:
        // A control takes any value and keeps none: libgphoto2 writes a 0
        // after every control it sends.
        if (m_busy)
            answer.code = kDeviceBusy;
        else if (!property->settable)
            answer.code = kAccessDenied;
        else if (!Value(hostData, property->type, value))
            answer.code = kInvalidPropertyValue;
        else if (!property->allowed.empty() && !Write(property->code, value, true, changed))
            answer.code = kInvalidPropertyValue;
        break;
    case kSetControlDeviceB:
        // The vendor's control call exists for the controls alone here.
        if (!property->allowed.empty()) {
            answer.code = kOperationNotSupported;
        } else if (!Value(hostData, kUint16, value)) {
            answer.code = kInvalidPropertyValue;
        } else if (property->code == kAutofocus && value == 2) {
            m_focus = 0;
            ++m_autofocusRuns;
        } else if (property->code == kNearFar) {
            m_focus += static_cast<int16_t>(value);
        }
        break;
    default:
        answer.code = kInvalidPropertyValue;
    }
    if (answer.code == 0)
        answer.code = kOk;
    lock.unlock();
    // As bodies do, the host's own change is announced too.
    if (changed)
        Raise(static_cast<uint16_t>(code));
    return answer;
}

bool DeviceProperties::Write(uint16_t code, int64_t value, bool fromHost, bool& changed) {
    Property* property = Find(code);
    if (!property)
        return false;
    bool allowed = false;
    for (int64_t candidate : property->allowed)
        allowed = allowed || candidate == value;
    if (!allowed)
        return false;
    changed = property->value != value;
    property->value = value;
    if (fromHost && changed && m_leave && m_liveView) {
        m_liveView = false;
        ++m_exits;
    }
    return true;
}

void DeviceProperties::Raise(uint16_t code) {
    Bytes body;
    Append(body, kDevicePropChanged, 2);
    Append(body, 0, 4); // no transaction
    Append(body, code, 4);
    Bytes packet;
    Append(packet, body.size() + 8, 4);
    Append(packet, kEventPacket, 4);
    packet.insert(packet.end(), body.begin(), body.end());
    std::lock_guard<std::mutex> lock(m_eventMutex);
    for (int fd : m_eventConnections)
        zelgp::WriteAll(fd, packet.data(), packet.size());
}

void DeviceProperties::AddEventConnection(int fd) {
    std::lock_guard<std::mutex> lock(m_eventMutex);
    m_eventConnections.insert(fd);
}

void DeviceProperties::RemoveEventConnection(int fd) {
    std::lock_guard<std::mutex> lock(m_eventMutex);
    m_eventConnections.erase(fd);
}

void DeviceProperties::SessionOpened() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_liveView = true;
}

bool DeviceProperties::LiveView() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_liveView;
}

zelsdk::FrameSource* DeviceProperties::Frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Property* size = Find(kLiveViewSize);
    const int64_t wanted = size ? size->value : m_ownSize;
    if (wanted != m_ownSize) {
        std::unique_ptr<zelsdk::FrameSource>& frames = m_frames[wanted];
        if (!frames) {
            frames = std::make_unique<zelsdk::FrameSource>();
            for (const Size& known : kSizes)
                if (known.value == wanted)
                    frames->Configure(known.width, known.height, "");
            frames->Start();
        }
        // The new size shows once its first picture is encoded; until then
        // the frames keep the size they had, as a body's would.
        if (frames->Picture(0))
            m_serving = wanted;
    } else {
        m_serving = m_ownSize;
    }
    return m_serving == m_ownSize ? nullptr : m_frames[m_serving].get();
}

bool DeviceProperties::Command(const std::string& line, std::string& reply) {
    char word[16] = {};
    unsigned code = 0;
    long long value = 0;
    const int read = std::sscanf(line.c_str(), "%15s %x %lld", word, &code, &value);
    const std::string command = read >= 1 ? word : "";
    std::unique_lock<std::mutex> lock(m_mutex);
    if (command == "prop" && read >= 2) {
        const Property* property = Find(static_cast<uint16_t>(code));
        reply = property ? std::to_string(property->value) : "unknown";
    } else if (command == "body" && read == 3) {
        if (!Find(static_cast<uint16_t>(code))) {
            reply = "unknown";
            return true;
        }
        bool changed = false;
        if (!Write(static_cast<uint16_t>(code), value, false, changed)) {
            reply = "invalid";
            return true;
        }
        lock.unlock();
        Raise(static_cast<uint16_t>(code));
        reply = "ok";
    } else if ((command == "without" || command == "lock") && read >= 2) {
        Property* property = Find(static_cast<uint16_t>(code));
        if (property && command == "without")
            property->listed = false;
        else if (property)
            property->settable = false;
        reply = property ? "ok" : "unknown";
    } else if (command == "slow") {
        const int ms = std::atoi(line.c_str() + 4);
        if (ms < 0 || ms > kMaxSlowMs) {
            reply = "invalid";
            return true;
        }
        m_slowMs = ms;
        reply = "ok";
    } else if (command == "leave" || command == "busy") {
        (command == "leave" ? m_leave : m_busy) = line.find(" on") != std::string::npos;
        reply = "ok";
    } else if (command == "liveview") {
        reply = std::string(m_liveView ? "on " : "off ") + std::to_string(m_exits);
    } else if (command == "focus") {
        reply = std::to_string(m_focus) + " " + std::to_string(m_autofocusRuns);
    } else {
        return false;
    }
    return true;
}

} // namespace cvl::test
