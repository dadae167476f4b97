// The tests' stand-in for the camera controller's request queue.
#include "TestCameraController.h"

#include <mutex>

namespace {
std::mutex g_requestsMutex;
std::vector<std::string> g_requests;
std::vector<long> g_processes;
} // namespace

void CameraController::AddRequest(std::string request, long process) {
    std::lock_guard<std::mutex> lock(g_requestsMutex);
    g_requests.push_back(request);
    g_processes.push_back(process);
}

// Settings requests get their own text back, so a test sees which ones the
// listener answered itself and that the reply's bytes arrive whole.
std::string CameraController::AnswerSettingsRequest(const std::string& command) {
    return "ok answered " + command + "\n";
}

namespace cvl::test {

CameraController* TestController() {
    alignas(CameraController) static unsigned char storage[sizeof(CameraController)];
    return reinterpret_cast<CameraController*>(storage);
}

std::vector<std::string> ReceivedRequests() {
    std::lock_guard<std::mutex> lock(g_requestsMutex);
    return g_requests;
}

std::vector<long> RequestProcesses() {
    std::lock_guard<std::mutex> lock(g_requestsMutex);
    return g_processes;
}

} // namespace cvl::test
