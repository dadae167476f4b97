// The camera simulator behind the ZelSDK calls: one attached camera, a
// handle table of reference-counted objects, an event thread, a frame loop
// encoded ahead and a control socket for zelsim.
#include "ControlPath.h"
#include "imaging/JpegEncoder.h"

#include <ZelSDK/ZelSDK.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uintptr_t kTokenBase = 0x5a0000000000ull;
constexpr uintptr_t kTokenStride = 16;
constexpr size_t kCallLogLimit = 100000;
constexpr auto kEvfEventDelay = std::chrono::milliseconds(40);
constexpr auto kEvfWarmUp = std::chrono::milliseconds(120);
constexpr auto kFramePeriod = std::chrono::milliseconds(20);
constexpr auto kLensDelay = std::chrono::milliseconds(100);

enum class Kind { List, Camera, Stream, Image };
enum class Model { Standard, Lumidrift, Unusable };

const char* ModelName(Model m) {
    return m == Model::Lumidrift ? "lumidrift" : m == Model::Unusable ? "unusable" : "standard";
}

bool ParseModel(const std::string& text, Model& model) {
    if (text == "standard")
        model = Model::Standard;
    else if (text == "lumidrift")
        model = Model::Lumidrift;
    else if (text == "unusable")
        model = Model::Unusable;
    else
        return false;
    return true;
}

bool ParseU32(const std::string& text, uint32_t& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || text[0] == '-' || v > 0xffffffffull)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

uint64_t MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

const char* const kCallNames[] = {"ZelInitializeSDK",
                                  "ZelTerminateSDK",
                                  "ZelRetain",
                                  "ZelRelease",
                                  "ZelGetCameraList",
                                  "ZelGetChildCount",
                                  "ZelGetChildAtIndex",
                                  "ZelGetDeviceInfo",
                                  "ZelSetPropertyEventHandler",
                                  "ZelSetObjectEventHandler",
                                  "ZelSetCameraStateEventHandler",
                                  "ZelOpenSession",
                                  "ZelCloseSession",
                                  "ZelGetPropertyData",
                                  "ZelSetPropertyData",
                                  "ZelSetCapacity",
                                  "ZelSendCommand",
                                  "ZelCreateMemoryStream",
                                  "ZelCreateEvfImageRef",
                                  "ZelDownloadEvfImage",
                                  "ZelGetPointer",
                                  "ZelGetLength"};

bool KnownCall(const std::string& name) {
    for (const char* c : kCallNames)
        if (name == c)
            return true;
    return false;
}

// One attached camera; a new plug-in is a new Device.
struct Device {
    Model model = Model::Standard;
    bool attached = true;
    uint64_t cameraId = 0; // object id of its camera reference, 0 when none
    ZelPropertyEventHandler propertyHandler = nullptr;
    void* propertyContext = nullptr;
    ZelObjectEventHandler objectHandler = nullptr;
    void* objectContext = nullptr;
    ZelStateEventHandler stateHandler = nullptr;
    void* stateContext = nullptr;
    bool session = false;
    uint32_t saveTarget = 0;
    uint32_t evfOutput = 0;
    bool evfOn = false;
    Clock::time_point evfStart;
    int64_t lastServed = -1;
    uint32_t lens = 0;
};

struct Object {
    Kind kind = Kind::List;
    int refs = 1;
    std::vector<uint64_t> children; // list: camera ids, each holding a count
    std::shared_ptr<Device> device; // camera
    std::shared_ptr<Bytes> bytes;   // stream, and the image's stream
};

struct Pending {
    Clock::time_point due;
    std::shared_ptr<Device> device;
    enum Type { Property, State, LensOpen, LensClose } type;
    uint32_t event;
    uint32_t value;
};

// The pictures of the live view: a test pattern encoded ahead in the
// background, or the JPEG files of a folder.
class FrameSource {
public:
    void Configure(int width, int height, const std::string& folder) {
        m_width = width;
        m_height = height;
        m_folder = folder;
        long pixels = static_cast<long>(width) * height;
        m_target = static_cast<int>(std::clamp(48L * 1000000L / std::max(pixels, 1L), 8L, 48L));
    }
    void Start() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_thread.joinable() || m_done)
            return;
        m_stop = false;
        m_thread = std::thread([this] { Run(); });
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        if (m_thread.joinable())
            m_thread.join();
    }
    std::shared_ptr<const Bytes> Picture(uint64_t n) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pictures.empty())
            return nullptr;
        return m_pictures[n % m_pictures.size()];
    }
    std::string Describe() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string kind = m_usingFolder ? "folder " + m_folder : "test pattern";
        return kind + " (" + std::to_string(m_pictures.size()) + " pictures ready)";
    }

private:
    void Add(Bytes bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pictures.push_back(std::make_shared<const Bytes>(std::move(bytes)));
    }
    bool Stopping() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stop;
    }
    void Run() {
        if (!m_folder.empty() && LoadFolder()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_usingFolder = true;
            m_done = true;
            return;
        }
        for (int i = static_cast<int>(m_pictures.size()); i < m_target; ++i) {
            if (Stopping())
                return;
            Add(Draw(i));
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
    }
    bool LoadFolder() {
        std::vector<std::string> names;
        if (DIR* dir = opendir(m_folder.c_str())) {
            while (dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                std::string lower = name;
                for (char& c : lower)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                auto ends = [&](const char* s) {
                    size_t n = std::strlen(s);
                    return lower.size() > n && lower.compare(lower.size() - n, n, s) == 0;
                };
                if (ends(".jpg") || ends(".jpeg"))
                    names.push_back(name);
            }
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (Stopping())
                return false;
            std::string path = m_folder + "/" + name;
            FILE* f = std::fopen(path.c_str(), "rb");
            if (!f)
                continue;
            Bytes bytes;
            uint8_t buffer[65536];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                bytes.insert(bytes.end(), buffer, buffer + n);
            std::fclose(f);
            if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) {
                std::fprintf(stderr, "zelsim: %s is not a JPEG file, skipped\n", path.c_str());
                continue;
            }
            Add(std::move(bytes));
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pictures.empty())
            std::fprintf(stderr, "zelsim: no JPEG files in %s, playing the test pattern\n",
                         m_folder.c_str());
        return !m_pictures.empty();
    }
    Bytes Draw(int index) {
        using namespace cvl::imaging;
        Canvas canvas(m_width, m_height, Color{24, 28, 40});
        const Color bars[] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                              {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {40, 40, 40}};
        int barWidth = std::max(1, m_width / 8);
        for (int b = 0; b < 8; ++b)
            canvas.FillRect(b * barWidth, 0, barWidth, m_height / 4, bars[b]);
        double phase = static_cast<double>(index) / m_target;
        canvas.FillRect(static_cast<int>(phase * m_width), m_height / 4, std::max(4, m_width / 40),
                        m_height - m_height / 4, Color{250, 250, 250});
        int radius = std::max(4, m_height / 12);
        int cx = static_cast<int>((1.0 - phase) * (m_width - 2 * radius)) + radius;
        canvas.FillCircle(cx, m_height * 3 / 4, radius, Color{250, 140, 20});
        int scale = std::max(1, m_height / 12 / Canvas::kGlyphHeight);
        canvas.DrawTextCentred(m_height / 2 - scale * 4, "FRAME " + std::to_string(index), scale,
                               Color{255, 255, 255});
        return EncodeJpeg(canvas, 80);
    }

    std::mutex m_mutex;
    std::thread m_thread;
    bool m_stop = false;
    bool m_done = false;
    bool m_usingFolder = false;
    int m_width = 960, m_height = 640, m_target = 48;
    std::string m_folder;
    std::vector<std::shared_ptr<const Bytes>> m_pictures;
};

struct Failure {
    uint32_t code;
    uint32_t count;
};

class Simulator {
public:
    static Simulator& Get() {
        static Simulator* instance = new Simulator; // never destroyed: threads may outlive exit
        return *instance;
    }

    // ---- call log and failures
    void Record(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_logMutex);
        m_calls.push_back(line);
        if (m_calls.size() > kCallLogLimit)
            m_calls.pop_front();
    }
    std::string Calls(bool clear) {
        std::lock_guard<std::mutex> lock(m_logMutex);
        std::string out;
        for (const std::string& l : m_calls)
            out += l + "\n";
        if (clear)
            m_calls.clear();
        return out;
    }
    uint32_t TakeFailure(const char* call) {
        std::lock_guard<std::mutex> lock(m_failMutex);
        auto it = m_failures.find(call);
        if (it == m_failures.end())
            return 0;
        uint32_t code = it->second.code;
        if (--it->second.count == 0)
            m_failures.erase(it);
        return code;
    }
    void SetFailure(const std::string& call, uint32_t code, uint32_t count) {
        std::lock_guard<std::mutex> lock(m_failMutex);
        if (count == 0 || code == 0)
            m_failures.erase(call);
        else
            m_failures[call] = Failure{code, count};
    }

    // Reads the environment once per process, before the first initialisation.
    void ReadEnvironment() {
        if (m_environmentRead)
            return;
        m_environmentRead = true;
        const char* camera = std::getenv("ZELSIM_CAMERA");
        m_startCamera = camera ? camera : "standard";
        Model model;
        if (m_startCamera != "none" && !ParseModel(m_startCamera, model)) {
            std::fprintf(stderr, "zelsim: ZELSIM_CAMERA=%s unknown, using standard\n", camera);
            m_startCamera = "standard";
        }
        int width = 960, height = 640;
        if (const char* size = std::getenv("ZELSIM_SIZE")) {
            int w = 0, h = 0;
            char extra = 0;
            if (std::sscanf(size, "%dx%d%c", &w, &h, &extra) == 2 && w >= 16 && h >= 16 &&
                w <= 8192 && h <= 8192) {
                width = w;
                height = h;
            } else {
                std::fprintf(stderr, "zelsim: ZELSIM_SIZE=%s invalid, using 960x640\n", size);
            }
        }
        const char* frames = std::getenv("ZELSIM_FRAMES");
        m_frames.Configure(width, height, frames ? frames : "");
        m_sizeText = std::to_string(width) + "x" + std::to_string(height);
        if (const char* ms = std::getenv("ZELSIM_DOWNLOAD_MS")) {
            uint32_t v;
            if (ParseU32(ms, v) && v <= 10000)
                m_downloadMs = v;
            else
                std::fprintf(stderr, "zelsim: ZELSIM_DOWNLOAD_MS=%s invalid\n", ms);
        }
        if (const char* fail = std::getenv("ZELSIM_FAIL")) {
            std::stringstream list(fail);
            std::string item;
            while (std::getline(list, item, ',')) {
                size_t eq = item.find('=');
                std::string name = item.substr(0, eq);
                std::string rest = eq == std::string::npos ? "" : item.substr(eq + 1);
                size_t colon = rest.find(':');
                uint32_t code = 0, count = 1;
                bool ok = KnownCall(name) && ParseU32(rest.substr(0, colon), code) &&
                          (colon == std::string::npos || ParseU32(rest.substr(colon + 1), count));
                if (ok)
                    SetFailure(name, code, count);
                else
                    std::fprintf(stderr, "zelsim: ZELSIM_FAIL entry '%s' ignored\n", item.c_str());
            }
        }
    }

    std::mutex m_mutex; // guards everything below it
    bool m_initialized = false;
    std::map<uint64_t, Object> m_objects;
    uint64_t m_nextId = 1;
    std::shared_ptr<Device> m_device;
    bool m_busy = false;
    uint64_t m_sequence = 0;
    uint64_t m_served = 0;
    std::deque<Pending> m_pending;
    std::condition_variable m_wake;
    bool m_eventsRunning = false;
    std::thread m_eventThread;
    std::thread m_controlThread;
    int m_listenFd = -1;
    int m_wakePipe[2] = {-1, -1};
    std::string m_socketPath;

    std::string m_startCamera;
    std::string m_sizeText;
    uint32_t m_downloadMs = 4;
    bool m_environmentRead = false;
    FrameSource m_frames;

    std::mutex m_logMutex;
    std::deque<std::string> m_calls;
    std::mutex m_failMutex;
    std::map<std::string, Failure> m_failures;

    // ---- objects (m_mutex held)
    __ZelObject* Token(uint64_t id) {
        return reinterpret_cast<__ZelObject*>(kTokenBase + id * kTokenStride);
    }
    static uint64_t IdOf(const __ZelObject* ref) {
        uintptr_t v = reinterpret_cast<uintptr_t>(ref);
        if (v < kTokenBase + kTokenStride || (v - kTokenBase) % kTokenStride)
            return 0;
        return (v - kTokenBase) / kTokenStride;
    }
    Object* Find(const __ZelObject* ref, Kind kind) {
        auto it = m_objects.find(IdOf(ref));
        if (it == m_objects.end() || it->second.kind != kind)
            return nullptr;
        return &it->second;
    }
    uint64_t NewObject(Object object) {
        uint64_t id = m_nextId++;
        m_objects.emplace(id, std::move(object));
        return id;
    }
    void ReleaseId(uint64_t id) {
        auto it = m_objects.find(id);
        if (it == m_objects.end() || --it->second.refs > 0)
            return;
        Object dead = std::move(it->second);
        m_objects.erase(it);
        if (dead.kind == Kind::Camera && dead.device && dead.device->cameraId == id)
            dead.device->cameraId = 0;
        for (uint64_t child : dead.children)
            ReleaseId(child);
    }
    // The camera reference of the attached device, with one more count.
    uint64_t RetainCamera() {
        if (m_device->cameraId && m_objects.count(m_device->cameraId)) {
            m_objects[m_device->cameraId].refs++;
            return m_device->cameraId;
        }
        Object camera;
        camera.kind = Kind::Camera;
        camera.device = m_device;
        m_device->cameraId = NewObject(std::move(camera));
        return m_device->cameraId;
    }

    // ---- events (m_mutex held)
    void Schedule(std::shared_ptr<Device> device, Pending::Type type, uint32_t event,
                  uint32_t value, Clock::duration delay) {
        Pending p{Clock::now() + delay, std::move(device), type, event, value};
        auto at =
            std::upper_bound(m_pending.begin(), m_pending.end(), p,
                             [](const Pending& a, const Pending& b) { return a.due < b.due; });
        m_pending.insert(at, std::move(p));
        m_wake.notify_all();
    }
    void StopEvf(const std::shared_ptr<Device>& d, bool notify) {
        d->evfOn = false;
        d->evfOutput &= ~ZEL_EVF_OUTPUT_HOST;
        if (notify)
            Schedule(d, Pending::Property, ZEL_PROPERTY_EVENT_CHANGED, ZEL_PROP_EVF_OUTPUT,
                     Clock::duration::zero());
    }
    void SetLens(const std::shared_ptr<Device>& d, uint32_t value) {
        if (d->lens == value)
            return;
        d->lens = value;
        Schedule(d, Pending::Property, ZEL_PROPERTY_EVENT_CHANGED, ZEL_PROP_LENS_BARREL,
                 Clock::duration::zero());
        if (value == 0 && d->evfOn)
            StopEvf(d, true);
    }
    void Unplug() {
        std::shared_ptr<Device> d = m_device;
        m_device.reset();
        d->attached = false;
        m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                       [&](const Pending& p) { return p.device == d; }),
                        m_pending.end());
        bool hadSession = d->session;
        d->session = false;
        d->evfOn = false;
        if (hadSession)
            Schedule(d, Pending::State, ZEL_STATE_EVENT_DISCONNECTED, 0, Clock::duration::zero());
    }
    void Plug(Model model) {
        m_device = std::make_shared<Device>();
        m_device->model = model;
    }

    void EventLoop(uint64_t generation) {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_eventsRunning && m_generation == generation) {
            if (m_pending.empty()) {
                m_wake.wait(lock);
                continue;
            }
            if (m_pending.front().due > Clock::now()) {
                m_wake.wait_until(lock, m_pending.front().due);
                continue;
            }
            Pending p = std::move(m_pending.front());
            m_pending.pop_front();
            Device& d = *p.device;
            if (p.type == Pending::LensOpen || p.type == Pending::LensClose) {
                if (d.attached && d.session)
                    SetLens(p.device, p.type == Pending::LensOpen ? 1 : 0);
                continue;
            }
            if (p.type == Pending::Property && d.propertyHandler) {
                auto handler = d.propertyHandler;
                void* context = d.propertyContext;
                lock.unlock();
                handler(p.event, p.value, 0, context);
                lock.lock();
            } else if (p.type == Pending::State && d.stateHandler) {
                auto handler = d.stateHandler;
                void* context = d.stateContext;
                lock.unlock();
                handler(p.event, p.value, context);
                lock.lock();
            }
        }
    }
    uint64_t m_generation = 0;

    // ---- lifecycle
    ZelError Initialize() {
        std::unique_lock<std::mutex> lock(m_mutex);
        ReadEnvironment();
        if (m_initialized)
            return ZEL_ERR_OK;
        m_initialized = true;
        m_busy = false;
        Model model;
        if (ParseModel(m_startCamera, model))
            Plug(model);
        m_eventsRunning = true;
        uint64_t generation = ++m_generation;
        m_eventThread = std::thread([this, generation] { EventLoop(generation); });
        lock.unlock();
        StartControl();
        return ZEL_ERR_OK;
    }
    ZelError Terminate() {
        std::thread events;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_initialized)
                return ZEL_ERR_SDK_NOT_INITIALIZED;
            m_initialized = false;
            m_eventsRunning = false;
            m_pending.clear();
            m_objects.clear();
            m_device.reset();
            m_wake.notify_all();
            events = std::move(m_eventThread);
        }
        StopControl();
        m_frames.Stop();
        if (events.joinable()) {
            // Called from a handler: that handler is the last one; the thread
            // ends when it returns.
            if (events.get_id() == std::this_thread::get_id())
                events.detach();
            else
                events.join();
        }
        return ZEL_ERR_OK;
    }

    // ---- control socket
    void StartControl() {
        std::string path, error;
        if (!zelsim::ControlSocketPath(path, error)) {
            std::fprintf(stderr, "zelsim: no control socket: %s\n", error.c_str());
            return;
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe >= 0 &&
            connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            close(probe);
            std::fprintf(stderr, "zelsim: another simulator serves this installation already\n");
            return;
        }
        if (probe >= 0)
            close(probe);
        unlink(path.c_str());
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 16) != 0 || pipe2(m_wakePipe, O_CLOEXEC) != 0) {
            std::fprintf(stderr, "zelsim: cannot open control socket %s: %s\n", path.c_str(),
                         std::strerror(errno));
            if (fd >= 0)
                close(fd);
            return;
        }
        m_listenFd = fd;
        m_socketPath = path;
        m_controlThread = std::thread([this] { ControlLoop(); });
    }
    void StopControl() {
        if (m_listenFd < 0)
            return;
        char byte = 1;
        if (write(m_wakePipe[1], &byte, 1) < 0) {
        }
        m_controlThread.join();
        close(m_listenFd);
        close(m_wakePipe[0]);
        close(m_wakePipe[1]);
        m_listenFd = -1;
        unlink(m_socketPath.c_str());
    }
    void ControlLoop() {
        for (;;) {
            pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents)
                return;
            int client = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            timeval timeout{2, 0};
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
            std::string line;
            char buffer[512];
            ssize_t n;
            while (line.find('\n') == std::string::npos && line.size() < 4096 &&
                   (n = read(client, buffer, sizeof buffer)) > 0)
                line.append(buffer, static_cast<size_t>(n));
            line = line.substr(0, line.find('\n'));
            std::string reply = Control(line);
            size_t off = 0;
            while (off < reply.size()) {
                ssize_t w = send(client, reply.data() + off, reply.size() - off, MSG_NOSIGNAL);
                if (w <= 0)
                    break;
                off += static_cast<size_t>(w);
            }
            close(client);
        }
    }
    std::string Status() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::ostringstream s;
        std::shared_ptr<Device> d = m_device;
        s << "attached: " << (d ? "yes" : "no") << "\n";
        s << "model: " << (d ? ModelName(d->model) : "none") << "\n";
        s << "busy: " << (m_busy ? "yes" : "no") << "\n";
        s << "session: " << (d && d->session ? "open" : "closed") << "\n";
        s << "live view: " << (d && d->evfOn ? "on" : "off") << "\n";
        s << "lens: "
          << (d && d->model == Model::Lumidrift ? (d->lens ? "open" : "closed") : "none") << "\n";
        s << "frames served: " << m_served << "\n";
        s << "size: " << m_sizeText << "\n";
        s << "source: " << m_frames.Describe() << "\n";
        return s.str();
    }
    std::string Control(const std::string& line) {
        std::istringstream in(line);
        std::vector<std::string> w;
        std::string word;
        while (in >> word)
            w.push_back(word);
        const std::string usage = "USAGE unknown or malformed command: " + line + "\n";
        if (w.empty())
            return usage;
        const std::string& verb = w[0];
        if (verb == "status" && w.size() == 1)
            return "OK\n" + Status();
        if (verb == "calls" && (w.size() == 1 || (w.size() == 2 && w[1] == "--clear")))
            return "OK\n" + Calls(w.size() == 2);
        if (verb == "fail" && (w.size() == 3 || w.size() == 4)) {
            uint32_t code, count = 1;
            if (!KnownCall(w[1]))
                return "ERROR unknown SDK call: " + w[1] + "\n";
            if (!ParseU32(w[2], code) || (w.size() == 4 && !ParseU32(w[3], count)))
                return "ERROR CODE and COUNT must be unsigned 32-bit numbers\n";
            SetFailure(w[1], code, count);
            return "OK\n";
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (verb == "plug" && w.size() <= 2) {
            Model model = Model::Standard;
            if (w.size() == 2 && !ParseModel(w[1], model))
                return "ERROR unknown camera model: " + w[1] + "\n";
            if (m_device)
                return "ERROR a camera is attached already; unplug it first\n";
            Plug(model);
            return "OK\n";
        }
        if (verb == "unplug" && w.size() == 1) {
            if (!m_device)
                return "ERROR no camera is attached\n";
            Unplug();
            return "OK\n";
        }
        if (verb == "busy" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
            m_busy = w[1] == "on";
            return "OK\n";
        }
        if (verb == "evf" && w.size() == 2 && w[1] == "off") {
            if (!m_device || !m_device->evfOn)
                return "ERROR live view is not running\n";
            StopEvf(m_device, true);
            return "OK\n";
        }
        if (verb == "lens" && w.size() == 2 && (w[1] == "open" || w[1] == "close")) {
            if (!m_device || m_device->model != Model::Lumidrift)
                return "ERROR no camera with a lens barrel is attached\n";
            SetLens(m_device, w[1] == "open" ? 1 : 0);
            return "OK\n";
        }
        if (verb == "shutdown-soon" && w.size() == 1) {
            if (!m_device)
                return "ERROR no camera is attached\n";
            Schedule(m_device, Pending::State, ZEL_STATE_EVENT_SHUTDOWN_SOON, 0,
                     Clock::duration::zero());
            return "OK\n";
        }
        return usage;
    }
};

// ---- call tracing: "name arg=value ... -> result out=value ..."
class Trace {
public:
    explicit Trace(const char* name) : m_name(name), m_line(name) {}
    Trace& Arg(const char* key, const std::string& value) {
        m_line += std::string(" ") + key + "=" + value;
        return *this;
    }
    Trace& Arg(const char* key, unsigned long long value) {
        return Arg(key, std::to_string(value));
    }
    Trace& Ref(const char* key, const __ZelObject* ref) {
        return Arg(key, ref ? std::to_string(Simulator::IdOf(ref)) : std::string("null"));
    }
    Trace& Out(const char* key, const std::string& value) {
        m_outs += std::string(" ") + key + "=" + value;
        return *this;
    }
    Trace& Out(const char* key, unsigned long long value) {
        return Out(key, std::to_string(value));
    }
    // Failure injected by zelsim or ZELSIM_FAIL, 0 when none.
    uint32_t Injected() { return Simulator::Get().TakeFailure(m_name); }
    ZelError Done(ZelError result) {
        Simulator::Get().Record(m_line + " -> " + std::to_string(result) + (result ? "" : m_outs));
        return result;
    }

private:
    const char* m_name;
    std::string m_line;
    std::string m_outs;
};

Simulator& S() {
    return Simulator::Get();
}

// Validates a camera reference; m_mutex held.
ZelError CameraOf(const __ZelObject* ref, std::shared_ptr<Device>& device) {
    if (!S().m_initialized)
        return ZEL_ERR_SDK_NOT_INITIALIZED;
    Object* camera = S().Find(ref, Kind::Camera);
    if (!camera)
        return ZEL_ERR_INVALID_HANDLE;
    device = camera->device;
    return ZEL_ERR_OK;
}

ZelError SessionCamera(const __ZelObject* ref, std::shared_ptr<Device>& device) {
    ZelError e = CameraOf(ref, device);
    if (e)
        return e;
    if (!device->attached)
        return ZEL_ERR_DEVICE_NOT_FOUND;
    if (!device->session)
        return ZEL_ERR_SESSION_NOT_OPEN;
    return ZEL_ERR_OK;
}

} // namespace

#define ZEL_INJECT(trace)                                                                          \
    if (uint32_t injected = (trace).Injected())                                                    \
    return (trace).Done(injected)

extern "C" {

ZelError ZelInitializeSDK(void) {
    Trace t("ZelInitializeSDK");
    {
        std::lock_guard<std::mutex> lock(S().m_mutex);
        S().ReadEnvironment();
    }
    ZEL_INJECT(t);
    return t.Done(S().Initialize());
}

ZelError ZelTerminateSDK(void) {
    Trace t("ZelTerminateSDK");
    ZEL_INJECT(t);
    return t.Done(S().Terminate());
}

ZelError ZelRetain(__ZelObject* ref) {
    Trace t("ZelRetain");
    t.Ref("ref", ref);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    if (!S().m_initialized)
        return t.Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    auto it = S().m_objects.find(Simulator::IdOf(ref));
    if (it == S().m_objects.end())
        return t.Done(ZEL_ERR_INVALID_HANDLE);
    it->second.refs++;
    return t.Done(ZEL_ERR_OK);
}

ZelError ZelRelease(__ZelObject* ref) {
    Trace t("ZelRelease");
    t.Ref("ref", ref);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    if (!S().m_initialized)
        return t.Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    uint64_t id = Simulator::IdOf(ref);
    if (!S().m_objects.count(id))
        return t.Done(ZEL_ERR_INVALID_HANDLE);
    S().ReleaseId(id);
    return t.Done(ZEL_ERR_OK);
}

ZelError ZelGetCameraList(__ZelObject** outList) {
    Trace t("ZelGetCameraList");
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    if (!S().m_initialized)
        return t.Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    if (!outList)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    Object list;
    list.kind = Kind::List;
    if (S().m_device)
        list.children.push_back(S().RetainCamera());
    uint64_t id = S().NewObject(std::move(list));
    *outList = S().Token(id);
    return t.Out("list", id).Done(ZEL_ERR_OK);
}

ZelError ZelGetChildCount(__ZelObject* list, uint32_t* outCount) {
    Trace t("ZelGetChildCount");
    t.Ref("list", list);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    if (!S().m_initialized)
        return t.Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    Object* o = S().Find(list, Kind::List);
    if (!o)
        return t.Done(ZEL_ERR_INVALID_HANDLE);
    if (!outCount)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    *outCount = static_cast<uint32_t>(o->children.size());
    return t.Out("count", *outCount).Done(ZEL_ERR_OK);
}

ZelError ZelGetChildAtIndex(__ZelObject* list, int32_t index, __ZelObject** outCamera) {
    Trace t("ZelGetChildAtIndex");
    t.Ref("list", list).Arg("index", std::to_string(index));
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    if (!S().m_initialized)
        return t.Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    Object* o = S().Find(list, Kind::List);
    if (!o)
        return t.Done(ZEL_ERR_INVALID_HANDLE);
    if (!outCamera)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    if (index < 0 || static_cast<size_t>(index) >= o->children.size())
        return t.Done(ZEL_ERR_INVALID_INDEX);
    uint64_t id = o->children[static_cast<size_t>(index)];
    S().m_objects[id].refs++;
    *outCamera = S().Token(id);
    return t.Out("camera", id).Done(ZEL_ERR_OK);
}

ZelError ZelGetDeviceInfo(__ZelObject* camera, ZelDeviceInfo* outInfo) {
    Trace t("ZelGetDeviceInfo");
    t.Ref("camera", camera);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    std::shared_ptr<Device> d;
    if (ZelError e = CameraOf(camera, d))
        return t.Done(e);
    if (!outInfo)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    if (!d->attached)
        return t.Done(ZEL_ERR_DEVICE_NOT_FOUND);
    std::memset(outInfo, 0, sizeof *outInfo);
    std::snprintf(outInfo->portName, sizeof outInfo->portName, "usb:001,%03llu",
                  static_cast<unsigned long long>(d->cameraId % 1000));
    const char* description = d->model == Model::Lumidrift  ? "Orvak Lumidrift S20"
                              : d->model == Model::Unusable ? "Orvak Archive 2"
                                                            : "Orvak Meridian 80";
    std::snprintf(outInfo->description, sizeof outInfo->description, "%s", description);
    outInfo->usable = d->model == Model::Unusable ? 0 : 1;
    return t.Out("description", std::string("\"") + description + "\"")
        .Out("usable", outInfo->usable)
        .Done(ZEL_ERR_OK);
}

} // extern "C"

namespace {
template <typename Handler>
ZelError SetHandler(const char* name, __ZelObject* camera, uint32_t event, uint32_t kind,
                    Handler handler, void* context, Handler Device::*slot, void* Device::*ctx) {
    Trace t(name);
    t.Ref("camera", camera).Arg("event", event).Arg("handler", handler ? "set" : "null");
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    std::shared_ptr<Device> d;
    if (ZelError e = CameraOf(camera, d))
        return t.Done(e);
    if (event != kind)
        return t.Done(ZEL_ERR_INVALID_PARAMETER);
    (*d).*slot = handler;
    (*d).*ctx = context;
    return t.Done(ZEL_ERR_OK);
}
} // namespace

extern "C" {

ZelError ZelSetPropertyEventHandler(__ZelObject* camera, uint32_t event,
                                    ZelPropertyEventHandler handler, void* context) {
    return SetHandler("ZelSetPropertyEventHandler", camera, event, ZEL_PROPERTY_EVENT_ALL, handler,
                      context, &Device::propertyHandler, &Device::propertyContext);
}

ZelError ZelSetObjectEventHandler(__ZelObject* camera, uint32_t event,
                                  ZelObjectEventHandler handler, void* context) {
    return SetHandler("ZelSetObjectEventHandler", camera, event, ZEL_OBJECT_EVENT_ALL, handler,
                      context, &Device::objectHandler, &Device::objectContext);
}

ZelError ZelSetCameraStateEventHandler(__ZelObject* camera, uint32_t event,
                                       ZelStateEventHandler handler, void* context) {
    return SetHandler("ZelSetCameraStateEventHandler", camera, event, ZEL_STATE_EVENT_ALL, handler,
                      context, &Device::stateHandler, &Device::stateContext);
}

ZelError ZelOpenSession(__ZelObject* camera) {
    Trace t("ZelOpenSession");
    t.Ref("camera", camera);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    std::shared_ptr<Device> d;
    if (ZelError e = CameraOf(camera, d))
        return t.Done(e);
    if (!d->attached)
        return t.Done(ZEL_ERR_DEVICE_NOT_FOUND);
    if (d->session) // the port is ours already
        return t.Done(ZEL_ERR_OK);
    if (S().m_busy)
        return t.Done(ZEL_ERR_COMM_PORT_IS_IN_USE);
    d->session = true;
    return t.Done(ZEL_ERR_OK);
}

ZelError ZelCloseSession(__ZelObject* camera) {
    Trace t("ZelCloseSession");
    t.Ref("camera", camera);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    std::shared_ptr<Device> d;
    if (ZelError e = SessionCamera(camera, d))
        return t.Done(e);
    // Ending the session ends live view and remote shooting, without events.
    d->session = false;
    d->evfOn = false;
    d->evfOutput &= ~ZEL_EVF_OUTPUT_HOST;
    d->lens = 0;
    return t.Done(ZEL_ERR_OK);
}

ZelError ZelGetPropertyData(__ZelObject* camera, uint32_t property, int32_t parameter,
                            uint32_t size, void* outData) {
    Trace t("ZelGetPropertyData");
    t.Ref("camera", camera).Arg("property", property).Arg("parameter", std::to_string(parameter));
    t.Arg("size", size);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    std::shared_ptr<Device> d;
    if (ZelError e = CameraOf(camera, d))
        return t.Done(e);
    if (!outData)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    if (size != 4)
        return t.Done(ZEL_ERR_INVALID_LENGTH);
    bool known = property == ZEL_PROP_SAVE_TARGET || property == ZEL_PROP_EVF_OUTPUT ||
                 (property == ZEL_PROP_LENS_BARREL && d->model == Model::Lumidrift);
    if (!known)
        return t.Done(ZEL_ERR_PROPERTY_UNAVAILABLE);
    if (ZelError e = SessionCamera(camera, d))
        return t.Done(e);
    uint32_t value = property == ZEL_PROP_SAVE_TARGET  ? d->saveTarget
                     : property == ZEL_PROP_EVF_OUTPUT ? d->evfOutput
                                                       : d->lens;
    std::memcpy(outData, &value, 4);
    return t.Out("value", value).Done(ZEL_ERR_OK);
}

ZelError ZelSetPropertyData(__ZelObject* camera, uint32_t property, int32_t parameter,
                            uint32_t size, const void* data) {
    Trace t("ZelSetPropertyData");
    t.Ref("camera", camera).Arg("property", property).Arg("parameter", std::to_string(parameter));
    t.Arg("size", size);
    uint32_t value = 0;
    if (data && size == 4) {
        std::memcpy(&value, data, 4);
        t.Arg("value", value);
    }
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    std::shared_ptr<Device> d;
    if (ZelError e = CameraOf(camera, d))
        return t.Done(e);
    if (!data)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    if (size != 4)
        return t.Done(ZEL_ERR_INVALID_LENGTH);
    if (property != ZEL_PROP_SAVE_TARGET && property != ZEL_PROP_EVF_OUTPUT)
        return t.Done(ZEL_ERR_PROPERTY_UNAVAILABLE);
    if (ZelError e = SessionCamera(camera, d))
        return t.Done(e);
    if (property == ZEL_PROP_SAVE_TARGET) {
        d->saveTarget = value;
        return t.Done(ZEL_ERR_OK);
    }
    bool on = value & ZEL_EVF_OUTPUT_HOST;
    if (on && !d->evfOn && d->model == Model::Lumidrift && d->lens != 1)
        return t.Done(ZEL_ERR_LENS_CLOSED);
    bool changed = value != d->evfOutput;
    d->evfOutput = value;
    if (on && !d->evfOn) {
        d->evfOn = true;
        d->evfStart = Clock::now();
        d->lastServed = -1;
        S().m_frames.Start();
    } else if (!on) {
        d->evfOn = false;
    }
    if (changed)
        S().Schedule(d, Pending::Property, ZEL_PROPERTY_EVENT_CHANGED, ZEL_PROP_EVF_OUTPUT,
                     kEvfEventDelay);
    return t.Done(ZEL_ERR_OK);
}

ZelError ZelSetCapacity(__ZelObject* camera, ZelCapacity capacity) {
    Trace t("ZelSetCapacity");
    t.Ref("camera", camera)
        .Arg("capacity", std::to_string(capacity.freeBlocks) + "," +
                             std::to_string(capacity.blockSize) + "," +
                             std::to_string(capacity.reset));
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    std::shared_ptr<Device> d;
    return t.Done(SessionCamera(camera, d));
}

ZelError ZelSendCommand(__ZelObject* camera, uint32_t command, int32_t parameter) {
    Trace t("ZelSendCommand");
    t.Ref("camera", camera).Arg("command", command).Arg("parameter", std::to_string(parameter));
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    std::shared_ptr<Device> d;
    if (ZelError e = SessionCamera(camera, d))
        return t.Done(e);
    if (command == ZEL_CMD_EXTEND_SHUTDOWN_TIMER)
        return t.Done(ZEL_ERR_OK);
    if (command != ZEL_CMD_REMOTE_SHOOTING || d->model != Model::Lumidrift)
        return t.Done(ZEL_ERR_PROPERTY_UNAVAILABLE);
    if (parameter != 0 && parameter != 1)
        return t.Done(ZEL_ERR_INVALID_PARAMETER);
    S().Schedule(d, parameter ? Pending::LensOpen : Pending::LensClose, 0, 0, kLensDelay);
    return t.Done(ZEL_ERR_OK);
}

ZelError ZelCreateMemoryStream(uint64_t size, __ZelObject** outStream) {
    Trace t("ZelCreateMemoryStream");
    t.Arg("size", size);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    if (!S().m_initialized)
        return t.Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    if (!outStream)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    if (size > (1ull << 30))
        return t.Done(ZEL_ERR_MEMORY_FULL);
    Object stream;
    stream.kind = Kind::Stream;
    stream.bytes = std::make_shared<Bytes>();
    stream.bytes->reserve(size);
    uint64_t id = S().NewObject(std::move(stream));
    *outStream = S().Token(id);
    return t.Out("stream", id).Done(ZEL_ERR_OK);
}

ZelError ZelCreateEvfImageRef(__ZelObject* stream, __ZelObject** outImage) {
    Trace t("ZelCreateEvfImageRef");
    t.Ref("stream", stream);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    if (!S().m_initialized)
        return t.Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    Object* s = S().Find(stream, Kind::Stream);
    if (!s)
        return t.Done(ZEL_ERR_INVALID_HANDLE);
    if (!outImage)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    Object image;
    image.kind = Kind::Image;
    image.bytes = s->bytes;
    uint64_t id = S().NewObject(std::move(image));
    *outImage = S().Token(id);
    return t.Out("image", id).Done(ZEL_ERR_OK);
}

ZelError ZelDownloadEvfImage(__ZelObject* camera, __ZelObject* image) {
    Trace t("ZelDownloadEvfImage");
    t.Ref("camera", camera).Ref("image", image);
    ZEL_INJECT(t);
    std::shared_ptr<const Bytes> picture;
    std::shared_ptr<Bytes> target;
    uint64_t sequence;
    uint32_t downloadMs;
    {
        std::lock_guard<std::mutex> lock(S().m_mutex);
        std::shared_ptr<Device> d;
        if (ZelError e = SessionCamera(camera, d))
            return t.Done(e);
        Object* img = S().Find(image, Kind::Image);
        if (!img)
            return t.Done(ZEL_ERR_INVALID_HANDLE);
        if (!d->evfOn)
            return t.Done(ZEL_ERR_FRAME_NOT_READY);
        auto since = Clock::now() - d->evfStart - kEvfWarmUp;
        int64_t produced = since < Clock::duration::zero() ? -1 : since / kFramePeriod;
        if (produced <= d->lastServed)
            return t.Done(ZEL_ERR_FRAME_NOT_READY);
        picture = S().m_frames.Picture(static_cast<uint64_t>(produced));
        if (!picture)
            return t.Done(ZEL_ERR_FRAME_NOT_READY);
        d->lastServed = produced;
        sequence = ++S().m_sequence;
        S().m_served++;
        target = img->bytes;
        downloadMs = S().m_downloadMs;
    }
    // The transfer itself, without holding the simulator's lock.
    if (downloadMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(downloadMs));
    char text[96];
    int n = std::snprintf(text, sizeof text, "zelsim seq=%llu t=%llu",
                          static_cast<unsigned long long>(sequence),
                          static_cast<unsigned long long>(MonotonicNs()));
    Bytes out;
    out.reserve(picture->size() + static_cast<size_t>(n) + 4);
    out.insert(out.end(), picture->begin(), picture->begin() + 2);
    out.push_back(0xFF);
    out.push_back(0xFE);
    out.push_back(static_cast<uint8_t>((n + 2) >> 8));
    out.push_back(static_cast<uint8_t>((n + 2) & 0xFF));
    out.insert(out.end(), text, text + n);
    out.insert(out.end(), picture->begin() + 2, picture->end());
    {
        std::lock_guard<std::mutex> lock(S().m_mutex);
        if (!S().Find(image, Kind::Image))
            return t.Done(ZEL_ERR_INVALID_HANDLE);
        target->swap(out);
    }
    return t.Out("seq", sequence).Out("length", target->size()).Done(ZEL_ERR_OK);
}

ZelError ZelGetPointer(__ZelObject* stream, uint8_t** outPointer) {
    Trace t("ZelGetPointer");
    t.Ref("stream", stream);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    if (!S().m_initialized)
        return t.Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    Object* s = S().Find(stream, Kind::Stream);
    if (!s)
        return t.Done(ZEL_ERR_INVALID_HANDLE);
    if (!outPointer)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    *outPointer = s->bytes->empty() ? nullptr : s->bytes->data();
    return t.Done(ZEL_ERR_OK);
}

ZelError ZelGetLength(__ZelObject* stream, uint64_t* outLength) {
    Trace t("ZelGetLength");
    t.Ref("stream", stream);
    ZEL_INJECT(t);
    std::lock_guard<std::mutex> lock(S().m_mutex);
    if (!S().m_initialized)
        return t.Done(ZEL_ERR_SDK_NOT_INITIALIZED);
    Object* s = S().Find(stream, Kind::Stream);
    if (!s)
        return t.Done(ZEL_ERR_INVALID_HANDLE);
    if (!outLength)
        return t.Done(ZEL_ERR_INVALID_POINTER);
    *outLength = s->bytes->size();
    return t.Out("length", *outLength).Done(ZEL_ERR_OK);
}

} // extern "C"
