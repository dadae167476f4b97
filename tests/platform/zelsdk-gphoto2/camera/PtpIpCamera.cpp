#include "PtpIpCamera.h"

#include "FrameNumber.h"
#include "FrameSource.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace cvl::test {

namespace {

// PTP/IP packet types.
constexpr uint32_t kInitCommandRequest = 1, kInitCommandAck = 2, kInitEventRequest = 3,
                   kInitEventAck = 4, kCommandRequest = 6, kCommandResponse = 7, kStartData = 9,
                   kEndData = 12, kProbeRequest = 13, kProbeResponse = 14;
// PTP operations and responses.
constexpr uint16_t kGetDeviceInfo = 0x1001, kOpenSession = 0x1002, kCloseSession = 0x1003,
                   kGetStorageIds = 0x1004, kGetObjectHandles = 0x1007, kGetObjectInfo = 0x1008,
                   kGetObject = 0x1009;
constexpr uint16_t kOk = 0x2001, kSessionNotOpen = 0x2003, kNotSupported = 0x2005,
                   kInvalidHandle = 0x2009, kAccessDenied = 0x200F, kDeviceBusy = 0x2019;
constexpr uint32_t kVendorExtension = 0x11;
constexpr uint32_t kLiveViewHandle = 0xffffc002;

uint64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v));
    Put16(out, static_cast<uint16_t>(v >> 16));
}

uint32_t Get32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A PTP string: a count of UCS-2 characters with the terminating null, then
// the characters; the empty string is a single 0.
void PutString(std::vector<uint8_t>& out, const std::string& text) {
    if (text.empty()) {
        out.push_back(0);
        return;
    }
    out.push_back(static_cast<uint8_t>(text.size() + 1));
    for (char c : text)
        Put16(out, static_cast<uint8_t>(c));
    Put16(out, 0);
}

void PutArray(std::vector<uint8_t>& out, const std::vector<uint16_t>& values) {
    Put32(out, static_cast<uint32_t>(values.size()));
    for (uint16_t v : values)
        Put16(out, v);
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* to, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = recv(fd, to + done, length - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One packet: its type and what follows the 8-byte header.
bool ReadPacket(int fd, uint32_t& type, std::vector<uint8_t>& body) {
    uint8_t header[8];
    if (!ReadAll(fd, header, sizeof header))
        return false;
    const uint32_t length = Get32(header);
    type = Get32(header + 4);
    if (length < 8 || length > (64u << 20))
        return false;
    body.resize(length - 8);
    return body.empty() || ReadAll(fd, body.data(), body.size());
}

std::vector<uint8_t> Packet(uint32_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    Put32(out, static_cast<uint32_t>(body.size() + 8));
    Put32(out, type);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool Respond(int fd, uint16_t code, uint32_t transaction) {
    std::vector<uint8_t> body;
    Put16(body, code);
    Put32(body, transaction);
    return WriteAll(fd, Packet(kCommandResponse, body));
}

bool SendData(int fd, uint32_t transaction, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> start;
    Put32(start, transaction);
    Put32(start, static_cast<uint32_t>(data.size()));
    Put32(start, 0);
    std::vector<uint8_t> end;
    Put32(end, transaction);
    end.insert(end.end(), data.begin(), data.end());
    return WriteAll(fd, Packet(kStartData, start)) && WriteAll(fd, Packet(kEndData, end));
}

} // namespace

PtpIpCamera::PtpIpCamera(int fps, int width, int height)
    : m_fps(fps > 0 ? fps : 30), m_frames(new zelsdk::FrameSource()), m_properties(width, height) {
    m_frames->Configure(width, height, "");
    m_frames->Start();
    m_startNs = NowNs();
}

PtpIpCamera::~PtpIpCamera() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_faultChanged.notify_all();
    Away();
    for (std::thread& thread : m_threads)
        thread.join();
    m_frames->Stop();
    delete m_frames;
    if (m_sendLog)
        std::fclose(m_sendLog);
}

bool PtpIpCamera::NumberFrames(int width, int height, const std::string& sendLog) {
    std::lock_guard<std::mutex> lock(m_frameMutex);
    m_sendLog = std::fopen(sendLog.c_str(), "we");
    if (!m_sendLog)
        return false;
    for (uint32_t n = 0; n < kFrameNumbers; ++n)
        m_numbered.push_back(std::make_shared<const Bytes>(NumberedPicture(width, height, n)));
    return true;
}

bool PtpIpCamera::Listen(int port) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return false;
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(listener);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_port = ntohs(address.sin_port);
    m_listener = listener;
    m_threads.emplace_back([this, listener] { Accept(listener); });
    return true;
}

void PtpIpCamera::Away() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_listener >= 0)
        shutdown(m_listener, SHUT_RDWR);
    m_listener = -1;
    for (int fd : m_open)
        shutdown(fd, SHUT_RDWR);
    m_sessionHolder = 0;
    m_body.SwitchedOff();
}

bool PtpIpCamera::Back() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_listener >= 0)
            return true;
    }
    // The old listener may still be closing.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (Listen(m_port))
            return true;
        usleep(20000);
    }
    return false;
}

uint64_t PtpIpCamera::FramesServed() {
    std::lock_guard<std::mutex> lock(m_frameMutex);
    return m_sequence;
}

bool PtpIpCamera::SessionHeld() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessionHolder != 0;
}

// A JPEG start, then filler up to 24 MiB (three times what the backend
// takes), and a JPEG end.
static const std::vector<uint8_t>& HugeFrame() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> made(24u << 20, 0x20);
        made[0] = 0xFF;
        made[1] = 0xD8;
        made[made.size() - 2] = 0xFF;
        made[made.size() - 1] = 0xD9;
        return made;
    }();
    return bytes;
}

bool PtpIpCamera::FaultNamed(const std::string& name, Fault& fault) {
    static const std::pair<const char*, Fault> names[] = {
        {"none", Fault::None},
        {"drop", Fault::Drop},
        {"truncate", Fault::Truncate},
        {"stall", Fault::Stall},
        {"deviceinfo", Fault::DeviceInfo},
        {"shortack", Fault::ShortAck},
        {"transaction", Fault::Transaction},
        {"oversized", Fault::Oversized},
    };
    for (const auto& [text, value] : names)
        if (name == text) {
            fault = value;
            return true;
        }
    return false;
}

void PtpIpCamera::Inject(Fault fault, int seconds) {
    if (fault == Fault::Oversized)
        HugeFrame();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fault = fault;
        m_faultUntilNs = NowNs() + static_cast<uint64_t>(seconds) * 1000000000ull;
    }
    m_faultChanged.notify_all();
}

PtpIpCamera::Fault PtpIpCamera::Current() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return NowNs() < m_faultUntilNs ? m_fault : Fault::None;
}

void PtpIpCamera::StallWhileFaulty() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        const uint64_t now = NowNs();
        if (m_closing || m_fault != Fault::Stall || now >= m_faultUntilNs)
            return;
        m_faultChanged.wait_for(lock, std::chrono::nanoseconds(m_faultUntilNs - now));
    }
}

bool PtpIpCamera::SendFrame(int fd, uint32_t transaction, const std::vector<uint8_t>& frame,
                            Fault fault) {
    if (fault == Fault::Oversized) {
        // Written straight from the one buffer: copying it for every frame
        // would take longer than libgphoto2 waits for an answer.
        const Bytes& huge = HugeFrame();
        std::vector<uint8_t> start;
        Put32(start, transaction);
        Put32(start, static_cast<uint32_t>(huge.size()));
        Put32(start, 0);
        std::vector<uint8_t> head;
        Put32(head, static_cast<uint32_t>(huge.size() + 12));
        Put32(head, kEndData);
        Put32(head, transaction);
        return WriteAll(fd, Packet(kStartData, start)) && WriteAll(fd, head) &&
               WriteAll(fd, huge) && Respond(fd, kOk, transaction);
    }
    if (fault != Fault::Drop && fault != Fault::Truncate)
        return SendData(fd, transaction, frame) && Respond(fd, kOk, transaction);
    // The packets say the whole frame comes; half of it does.
    std::vector<uint8_t> start;
    Put32(start, transaction);
    Put32(start, static_cast<uint32_t>(frame.size()));
    Put32(start, 0);
    std::vector<uint8_t> end;
    Put32(end, transaction);
    end.insert(end.end(), frame.begin(), frame.end());
    Bytes packet = Packet(kEndData, end);
    packet.resize(packet.size() / 2);
    if (!WriteAll(fd, Packet(kStartData, start)) || !WriteAll(fd, packet))
        return false;
    if (fault == Fault::Drop) {
        shutdown(fd, SHUT_RDWR);
        return false;
    }
    return Respond(fd, kOk, transaction);
}

void PtpIpCamera::Accept(int listener) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            break;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_listener != listener) {
            close(fd);
            break;
        }
        const int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        m_open.insert(fd);
        m_threads.emplace_back([this, fd] { Serve(fd); });
    }
    close(listener);
}

void PtpIpCamera::Forget(int fd, uint32_t connection) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.erase(fd);
    if (connection != 0 && m_sessionHolder == connection)
        m_sessionHolder = 0;
    close(fd);
}

void PtpIpCamera::Serve(int fd) {
    uint32_t connection = 0;
    uint32_t type = 0;
    std::vector<uint8_t> body;
    if (ReadPacket(fd, type, body) && type == kInitCommandRequest) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            connection = m_nextConnection++;
        }
        std::vector<uint8_t> ack;
        Put32(ack, connection);
        const bool shortAck = Current() == Fault::ShortAck;
        for (int i = 0; i < 16 && !shortAck; ++i)
            ack.push_back(static_cast<uint8_t>(0xC0 + i));
        if (!shortAck) {
            for (char c : std::string("Loopback Test Camera"))
                Put16(ack, static_cast<uint8_t>(c));
            Put16(ack, 0);
            Put32(ack, 0x00010000);
        }
        bool open = WriteAll(fd, Packet(kInitCommandAck, ack));
        while (open && ReadPacket(fd, type, body)) {
            if (type == kCommandRequest)
                open = Operation(fd, connection, body.data(), static_cast<uint32_t>(body.size()));
            else if (type == kProbeRequest)
                open = WriteAll(fd, Packet(kProbeResponse, {}));
        }
    } else if (type == kInitEventRequest) {
        // The event connection: acknowledged, then held open for the
        // property events.
        if (WriteAll(fd, Packet(kInitEventAck, {}))) {
            m_properties.AddEventConnection(fd);
            while (ReadPacket(fd, type, body)) {
            }
            m_properties.RemoveEventConnection(fd);
        }
    }
    Forget(fd, connection);
}

bool PtpIpCamera::ReadHostData(int fd, Bytes& data) {
    // Start data, then data packets up to the end-data packet; each data
    // packet's payload follows its transaction id.
    uint32_t type = 0;
    std::vector<uint8_t> body;
    do {
        // libgphoto2 writes a data phase in small pieces: acknowledged at
        // once, its next piece is not held back for the delayed ACK.
        const int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &yes, sizeof yes);
        if (!ReadPacket(fd, type, body))
            return false;
        if (type != kStartData && body.size() > 4)
            data.insert(data.end(), body.begin() + 4, body.end());
    } while (type != kEndData);
    return true;
}

bool PtpIpCamera::Operation(int fd, uint32_t connection, const uint8_t* body, uint32_t length) {
    if (length < 10)
        return false;
    const uint32_t dataPhase = Get32(body);
    const uint16_t code = static_cast<uint16_t>(body[4] | (body[5] << 8));
    const Fault fault = Current();
    const uint32_t transaction = Get32(body + 6) + (fault == Fault::Transaction ? 1000 : 0);
    const uint32_t param1 = length >= 14 ? Get32(body + 10) : 0;
    Bytes hostData;
    if (dataPhase == 2 && !ReadHostData(fd, hostData))
        return false;
    if (fault == Fault::Stall)
        StallWhileFaulty();

    bool holder = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (code == kOpenSession && m_sessionHolder != 0 && m_sessionHolder != connection)
            return Respond(fd, kDeviceBusy, transaction);
        if (code == kOpenSession)
            m_sessionHolder = connection;
        if (code == kCloseSession && m_sessionHolder == connection)
            m_sessionHolder = 0;
        holder = m_sessionHolder == connection;
    }
    switch (code) {
    case kGetDeviceInfo:
        if (fault == Fault::DeviceInfo) {
            // Its operation list claims far more entries than follow.
            Bytes garbage = DeviceInfo();
            garbage.resize(11);
            Put32(garbage, 0x7FFFFFFF);
            Put16(garbage, kGetDeviceInfo);
            return SendData(fd, transaction, garbage) && Respond(fd, kOk, transaction);
        }
        return SendData(fd, transaction, DeviceInfo()) && Respond(fd, kOk, transaction);
    case kOpenSession:
        m_properties.SessionOpened();
        m_body.SessionOpened();
        return Respond(fd, kOk, transaction);
    case kCloseSession:
        return Respond(fd, kOk, transaction);
    default:
        break;
    }
    if (!holder)
        return Respond(fd, kSessionNotOpen, transaction);
    // What the body refuses by itself: busy, or live view ended.
    const bool liveViewObject =
        (code == kGetObjectInfo || code == kGetObject) && param1 == kLiveViewHandle;
    if (const uint16_t refusal = m_body.Refusal(code, liveViewObject))
        return Respond(fd, refusal, transaction);
    if (DeviceProperties::Handles(code)) {
        const DeviceProperties::Answer answer = m_properties.Operate(code, param1, hostData);
        return (!answer.hasData || SendData(fd, transaction, answer.data)) &&
               Respond(fd, answer.code, transaction);
    }
    // A body out of live view has no live-view picture.
    if ((code == kGetObjectInfo || code == kGetObject) && param1 == kLiveViewHandle &&
        !m_properties.LiveView())
        return Respond(fd, kAccessDenied, transaction);
    switch (code) {
    case kGetStorageIds:
    case kGetObjectHandles: {
        std::vector<uint8_t> none;
        Put32(none, 0);
        return SendData(fd, transaction, none) && Respond(fd, kOk, transaction);
    }
    case kGetObjectInfo:
        if (param1 != kLiveViewHandle)
            return Respond(fd, kInvalidHandle, transaction);
        return SendData(fd, transaction, ObjectInfo(200000)) && Respond(fd, kOk, transaction);
    case kGetObject: {
        if (param1 != kLiveViewHandle)
            return Respond(fd, kInvalidHandle, transaction);
        const Bytes frame = NextFrame();
        return SendFrame(fd, transaction, frame, fault);
    }
    default:
        return Respond(fd, kNotSupported, transaction);
    }
}

PtpIpCamera::Bytes PtpIpCamera::NextFrame() {
    std::shared_ptr<const Bytes> picture;
    zelsdk::FrameSource* frames = m_properties.Frames();
    if (!frames)
        frames = m_frames;
    while (!(picture = frames->Picture(0)))
        usleep(2000);
    std::lock_guard<std::mutex> lock(m_frameMutex);
    const uint64_t period = 1000000000ull / static_cast<uint64_t>(m_fps);
    int64_t tick = static_cast<int64_t>((NowNs() - m_startNs) / period);
    if (tick <= m_lastTick) {
        // Not made yet: wait for the camera's next frame.
        tick = m_lastTick + 1;
        const uint64_t due = m_startNs + static_cast<uint64_t>(tick) * period;
        const uint64_t now = NowNs();
        if (due > now)
            usleep(static_cast<useconds_t>((due - now) / 1000));
    }
    m_lastTick = tick;
    ++m_sequence;
    picture = m_numbered.empty() ? frames->Picture(m_sequence - 1)
                                 : m_numbered[m_sequence % kFrameNumbers];
    if (!m_sendLog)
        return zelsdk::FrameSource::Stamped(*picture, m_sequence,
                                            m_startNs + static_cast<uint64_t>(tick) * period);
    // Numbered frames are stamped with their send time (the caller sends the
    // frame at once), the time the log gives, so that a receiver that reads
    // the stamp and one that reads the number measure from the same point.
    const uint64_t sent = NowNs();
    std::fprintf(m_sendLog, "%llu %llu\n", static_cast<unsigned long long>(m_sequence),
                 static_cast<unsigned long long>(sent));
    std::fflush(m_sendLog);
    return zelsdk::FrameSource::Stamped(*picture, m_sequence, sent);
}

PtpIpCamera::Bytes PtpIpCamera::DeviceInfo() {
    Bytes out;
    Put16(out, 100);              // standard version
    Put32(out, kVendorExtension); // vendor extension
    Put16(out, 100);              // its version
    PutString(out, "");           // its description
    Put16(out, 0);                // functional mode
    PutArray(out, {kGetDeviceInfo, kOpenSession, kCloseSession, kGetStorageIds, kGetObjectHandles,
                   kGetObjectInfo, kGetObject, 0x1014, 0x1015, 0x1016}); // and the property calls
    PutArray(out, {0x4006});             // events: DevicePropChanged
    PutArray(out, m_properties.Codes()); // device properties
    PutArray(out, {});                   // capture formats
    PutArray(out, {0x3801});             // image formats: JPEG
    PutString(out, "Corvalink");
    PutString(out, "Loopback Test Camera");
    PutString(out, "1.0");
    PutString(out, "0001");
    return out;
}

PtpIpCamera::Bytes PtpIpCamera::ObjectInfo(uint32_t size) {
    Bytes out;
    Put32(out, 0);      // storage
    Put16(out, 0x3801); // format: JPEG
    Put16(out, 0);      // protection
    Put32(out, size);
    Put16(out, 0); // thumbnail format
    for (int i = 0; i < 7; ++i)
        Put32(out, 0); // thumbnail size, sizes, depth, parent
    Put16(out, 0);     // association type
    Put32(out, 0);     // association description
    Put32(out, 0);     // sequence number
    PutString(out, "liveview.jpg");
    PutString(out, "");
    PutString(out, "");
    PutString(out, "");
    return out;
}

} // namespace cvl::test
