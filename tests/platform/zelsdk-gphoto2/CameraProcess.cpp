#include "CameraProcess.h"

#include "TestSupport.h"

#include <csignal>
#include <fstream>
#include <fcntl.h>
#include <cstdlib>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace cvl::test {

CameraProcess::~CameraProcess() {
    if (m_toCamera >= 0)
        close(m_toCamera);
    if (m_fromCamera >= 0)
        close(m_fromCamera);
    KillAndReap(m_pid);
}

bool CameraProcess::Start(int fps) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string program = Program("cvl-ptpip-camera");
    std::string rate = std::to_string(fps);
    char port[] = "--port", zero[] = "0", fpsOption[] = "--fps";
    char* argv[] = {program.data(), port, zero, fpsOption, rate.data(), nullptr};
    const int spawned = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    m_toCamera = in[1];
    m_fromCamera = out[0];
    if (spawned != 0) {
        m_pid = -1;
        return false;
    }
    const std::string line = ReadLine();
    if (line.rfind("port ", 0) != 0)
        return false;
    m_port = std::atoi(line.c_str() + 5);
    const std::string home = MakeFolder("home");
    setenv("HOME", home.c_str(), 1);
    setenv("CVL_GPHOTO2_PORT", GphotoPort().c_str(), 1);
    unsetenv("CVL_GPHOTO2_MODEL");
    return m_port > 0;
}

std::string CameraProcess::GphotoPort() const {
    // The event connection goes to the same port, which libgphoto2 needs
    // told: a port alone leaves the event connection on 15740.
    return "ptpip:127.0.0.1:" + std::to_string(m_port) + ":" + std::to_string(m_port);
}

std::string CameraProcess::ReadLine() {
    std::string line;
    char c = 0;
    for (;;) {
        pollfd ready = {m_fromCamera, POLLIN, 0};
        // Generous: the camera encodes its pictures while it starts.
        if (poll(&ready, 1, 30000) != 1 || read(m_fromCamera, &c, 1) != 1)
            return line;
        if (c == '\n')
            return line;
        line += c;
    }
}

std::string CameraProcess::Ask(const std::string& command) {
    const std::string line = command + "\n";
    if (write(m_toCamera, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return "";
    return ReadLine();
}

bool CameraProcess::Away() {
    return Ask("away") == "ok";
}

bool CameraProcess::Back() {
    return Ask("back") == "ok";
}

uint64_t CameraProcess::FramesServed() {
    return std::strtoull(Ask("frames").c_str(), nullptr, 10);
}

std::string GphotoLibrary() {
    return BinaryDir() + "/lib/gphoto2/libZelSDK.so";
}

bool MapsLibgphoto2(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find("libgphoto2") != std::string::npos)
            return true;
    return false;
}

std::string GphotoHelper() {
    return BinaryDir() + "/lib/gphoto2/zelsdk-gphoto2-helper";
}

} // namespace cvl::test

namespace cvl::test {

bool CameraProcess::SessionHeld() {
    return Ask("session") == "held";
}

bool CameraProcess::Fault(const std::string& name, int seconds) {
    return Ask("fault " + name + " " + std::to_string(seconds)) == "ok";
}

} // namespace cvl::test

namespace cvl::test {

bool CameraProcess::LiveViewLimit(int seconds) {
    return Ask("liveview-limit " + std::to_string(seconds)) == "ok";
}

uint64_t CameraProcess::LiveViewEnds() {
    return std::strtoull(Ask("liveview-ends").c_str(), nullptr, 10);
}

bool CameraProcess::WaitForLiveViewEnds(uint64_t ends, std::chrono::seconds timeout) {
    return WaitFor([&] { return LiveViewEnds() >= ends; }, timeout);
}

uint64_t CameraProcess::Sessions() {
    return std::strtoull(Ask("sessions").c_str(), nullptr, 10);
}

} // namespace cvl::test
