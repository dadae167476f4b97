// Runs the real CVLService of a staged installation for one test: the test
// process's own CVL_ROOT and XDG_RUNTIME_DIR, fake "csrutil" and "sw_vers"
// first on PATH, and the simulated camera set up from the environment. The
// test steers the camera with zelsim, reads the service log and receives
// frames with the client library.
#ifndef CVL_TESTS_E2E_SERVICEHARNESS_H
#define CVL_TESTS_E2E_SERVICEHARNESS_H

#include "ServiceLog.h"
#include "Zelsim.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class EvfFrame;

namespace cvl::test {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct ServiceOptions {
    // ZELSIM_CAMERA: none, standard, lumidrift, unusable.
    std::string camera = "standard";
    // ZELSIM_FAIL, when not empty.
    std::string fail;
    // ZELSIM_SIZE (WIDTHxHEIGHT), when not empty.
    std::string size;
    // ZELSIM_FRAMES (a folder of JPEG files played instead of the pattern),
    // when not empty.
    std::string frames;
    // ZELSIM_SEND_LOG (a file that gets each download's frame and time),
    // when not empty.
    std::string sendLog;
    // What the fake probe commands print.
    std::string csrutilOutput = "System Integrity Protection status: enabled.\n";
    std::string swVersOutput =
        "ProductName:\tmacOS\nProductVersion:\t10.15.7\nBuildVersion:\t19H15\n";
    // The fake csrutil waits this long after it has started (it touches the
    // file ProbeMarker() first), so that a test can act during the probe.
    int probeSeconds = 0;
    // Another build of libZelSDK (a path) put into the staged framework in
    // place of the simulator before the service starts; the simulator's
    // settings and zelsim do not apply then.
    std::string zelsdkLibrary;
    // Programs (paths) that go beside that library in the framework folder,
    // as a backend's helper does.
    std::vector<std::string> zelsdkCompanions;
    // The service's standard error, when not the test's own.
    int stderrFd = -1;
};

class ServiceProcess {
public:
    ServiceProcess() = default;
    // Kills a service that still runs.
    ~ServiceProcess();

    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // Stages the installation (once per test process) and starts the service;
    // with waitUntilRunning, returns once its controller and request port run.
    bool Start(const ServiceOptions& options = ServiceOptions(), bool waitUntilRunning = true);
    pid_t Pid() const { return m_pid; }

    void Terminate();
    // The exit status, or -1 when it did not end in time or ended otherwise.
    int WaitForExit(milliseconds timeout = seconds(10));

    static std::string ProbeMarker();

private:
    pid_t m_pid = -1;
};

enum class FrameKind { Live, Error, Busy, Disconnected, Other };
// Status frames are recognised byte for byte against the installed files;
// a frame that is neither a status frame nor stamped is Other.
FrameKind KindOf(const EvfFrame& frame);
// The sequence number of the simulator's stamp in a live frame.
bool FrameSequence(const EvfFrame& frame, uint64_t& sequence);

// A second client in a process of its own, forked before the test starts
// any thread: once told to start it streams in port mode and counts the live
// frames it gets.
class ChildClient {
public:
    ChildClient();
    // Kills the child if it still runs.
    ~ChildClient();
    ChildClient(const ChildClient&) = delete;
    ChildClient& operator=(const ChildClient&) = delete;

    pid_t Pid() const { return m_pid; }
    void StartStreaming();
    // Distinct live frames received so far, or -1 when the child is gone.
    int LiveFrames();
    // Sends "StopStreaming" and lets the child end.
    void StopStreaming();
    void Kill();

private:
    char Ask(char command);

    pid_t m_pid = -1;
    int m_toChild = -1;
    int m_fromChild = -1;
};

} // namespace cvl::test

#endif
