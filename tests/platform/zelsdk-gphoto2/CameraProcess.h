// The PTP/IP test camera (cvl-ptpip-camera) in a process of its own, steered
// through its standard input, and the environment that points libgphoto2 at
// it: the port, and a HOME of the test's own (libgphoto2 keeps the PTP/IP
// host identity in ~/.gphoto/settings).
#ifndef CVL_TESTS_ZELSDK_GPHOTO2_CAMERAPROCESS_H
#define CVL_TESTS_ZELSDK_GPHOTO2_CAMERAPROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace cvl::test {

class CameraProcess {
public:
    CameraProcess() = default;
    // Ends the camera.
    ~CameraProcess();
    CameraProcess(const CameraProcess&) = delete;
    CameraProcess& operator=(const CameraProcess&) = delete;

    // Starts the camera on a free port and sets CVL_GPHOTO2_PORT and HOME of
    // this process (which the service and gphoto2 inherit).
    bool Start(int fps);
    int Port() const { return m_port; }
    // "ptpip:127.0.0.1:<port>:<port>" (command and event connection)
    std::string GphotoPort() const;
    bool Away();
    bool Back();
    uint64_t FramesServed();
    // A host has the camera's session open.
    bool SessionHeld();
    // The camera misbehaves for seconds, then works again (cvl-ptpip-camera's
    // fault names: drop, truncate, stall, deviceinfo, shortack, transaction,
    // oversized).
    bool Fault(const std::string& name, int seconds);
    // Any command line of the camera's (its settings' commands: prop, body,
    // without, slow, leave, liveview, focus) and its answer.
    std::string Command(const std::string& line) { return Ask(line); }

private:
    std::string Ask(const std::string& command);
    std::string ReadLine();

    pid_t m_pid = -1;
    int m_toCamera = -1;
    int m_fromCamera = -1;
    int m_port = 0;
};

// The gphoto2 build of libZelSDK, and its helper program beside it.
std::string GphotoLibrary();
std::string GphotoHelper();
// libgphoto2 is loaded in the process.
bool MapsLibgphoto2(pid_t pid);

} // namespace cvl::test

#endif
