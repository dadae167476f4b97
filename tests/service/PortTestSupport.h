// A local message port served on a thread of its own, for the tests of the
// units that send to ports.
#ifndef CVL_TESTS_SERVICE_PORTTESTSUPPORT_H
#define CVL_TESTS_SERVICE_PORTTESTSUPPORT_H

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cvl::test {

class ServedPort {
public:
    // handler runs on the port's thread for each message; its result is the
    // reply (may be null).
    using Handler = std::function<CFDataRef(CFDataRef)>;
    ServedPort(const std::string& name, Handler handler);
    ~ServedPort();
    bool Serving() const { return m_serving; }

private:
    static CFDataRef Callback(CFMessagePortRef, SInt32, CFDataRef data, void* info);
    void Run(const std::string& name);

    Handler m_handler;
    std::thread m_thread;
    std::atomic<bool> m_serving{false};
    std::atomic<bool> m_stop{false};
};

// The service's request port as a client sees it: answers "success" and
// records each request's payload byte for byte.
class RecordingRequestPort {
public:
    RecordingRequestPort();
    bool Serving() const { return m_port.Serving(); }
    std::vector<std::string> Payloads();

private:
    std::mutex m_mutex;
    std::vector<std::string> m_payloads;
    ServedPort m_port;
};

} // namespace cvl::test

#endif
