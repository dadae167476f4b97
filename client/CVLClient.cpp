#include "CVLClient.h"

#include "FrameTransport.h"
#include "RequestSender.h"
#include "RequestText.h"

#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// More than 1000 whole milliseconds between two frame-rate reports.
constexpr std::chrono::nanoseconds kFpsReportPeriod(1001000000LL);
constexpr int32_t kMaxFpsReports = 10;

} // namespace

CVLClient::CVLClient()
    : m_pid(static_cast<int32_t>(getpid())),
      m_sandboxMode(false), m_sbFrameFiles{nullptr, nullptr, nullptr}, m_lastSbFrameNumber(-1),
      m_sbFrameSlot(0), m_numFpsReports(0), m_lastFpsReportTime(std::chrono::steady_clock::now()) {
    SetPortAddress(FramePortName(std::to_string(m_pid)));
}

CVLClient::~CVLClient() {
    ResetSandboxMode();
    // A receiving thread left running would outlive the object it serves.
    Stop();
}

void CVLClient::StartStreaming() {
    if (m_sandboxMode)
        return;
    m_numFpsReports = 0;
    ResetNumUniqueFramesRcvd();
    Start();
    SendRequest("StartStreaming");
}

void CVLClient::StopStreaming() {
    if (m_sandboxMode) {
        ResetSandboxMode();
        return;
    }
    SendRequest("StopStreaming");
    Stop();
}

void CVLClient::StartStreamingSandboxMode() {
    SendRequest("StartStreamingSandboxMode");
}

// The service has no separate stop command for sandbox streams.
void CVLClient::StopStreamingSandboxMode() {
    SendRequest("StopStreaming");
}

void CVLClient::CloseService() {
    SendRequest("Close");
}

void CVLClient::SandboxTest() {
    if (!SendRequest("SandboxTest"))
        m_sandboxMode = true;
}

void CVLClient::ReportLogMsg(std::string message) {
    SendRequest(std::move(message));
}

bool CVLClient::SendRequest(std::string command) {
    return SendRequestText(BuildRequestText(std::to_string(m_pid), command));
}

EvfFrame* CVLClient::GetFrame() {
    if (m_sandboxMode)
        return GetSandboxFrame();

    const auto now = std::chrono::steady_clock::now();
    if (m_numFpsReports < kMaxFpsReports && now - m_lastFpsReportTime >= kFpsReportPeriod) {
        ReportLogMsg("plugin fps: " + std::to_string(GetNumUniqueFramesRcvd()));
        ResetNumUniqueFramesRcvd();
        m_lastFpsReportTime = std::chrono::steady_clock::now();
        ++m_numFpsReports;
    }
    return FrameReceiver::GetFrame();
}

EvfFrame* CVLClient::GetSandboxFrame() {
    std::vector<unsigned char> bytes;
    EvfFrame* frame = new EvfFrame;
    if (ReadSandboxFrame(m_sbFrameFiles, m_lastSbFrameNumber, m_sbFrameSlot, bytes) ==
        SandboxReadResult::Frame)
        frame->LoadFrame(bytes.data(), static_cast<int32_t>(bytes.size()));
    else
        frame->LoadDisconnectedFrame();
    return frame;
}

void CVLClient::ResetSandboxMode() {
    ResetSandboxReading(m_sbFrameFiles, m_lastSbFrameNumber, m_sbFrameSlot);
}
