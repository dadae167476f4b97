// The object through which a client process talks to the service: it sends
// the text requests of the request port and fetches frames, in port mode from
// its frame receiver, in sandbox mode from the sandbox frame files.
//
// Calling order for a port-mode stream: construct, StartStreaming, GetFrame
// as often as frames are wanted, StopStreaming, destroy. For a sandboxed host:
// construct, SandboxTest (or EnableSandboxMode(true)), GetFrame as often as
// frames are wanted, StopStreaming or ResetSandboxMode, destroy.
#ifndef CVL_CLIENT_CVLCLIENT_H
#define CVL_CLIENT_CVLCLIENT_H

#include "EvfFrame.h"
#include "FrameReceiver.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class CVLClient : public FrameReceiver {
public:
    // Names the frame port after this process; starts nothing, sends nothing.
    CVLClient();
    // Closes the sandbox frame files; a frame receiver that still runs is
    // stopped. Sends no request: call StopStreaming first.
    ~CVLClient();

    // Port mode: restarts the frame-rate reports, starts the frame receiver
    // and asks for a stream. Sandbox mode: does nothing.
    void StartStreaming();
    // Port mode: tells the service, then stops the frame receiver. Sandbox
    // mode: sends nothing and starts the sandbox reading over.
    void StopStreaming();
    void StartStreamingSandboxMode();
    void StopStreamingSandboxMode();
    void CloseService();
    // Switches to sandbox mode when the service cannot be reached.
    void SandboxTest();
    // Sends the text itself as the command; the service logs it.
    void ReportLogMsg(std::string message);

    // "<pid>_<command>" to the request port; true when it was delivered.
    bool SendRequest(std::string command);

    // The next frame to show, owned by the caller and never null.
    EvfFrame* GetFrame();
    // One read of the sandbox frame files: the next frame, or the disconnected
    // status frame. Owned by the caller, never null.
    EvfFrame* GetSandboxFrame();

    void EnableSandboxMode(bool on) { m_sandboxMode = on; }
    bool EnableSandboxMode() const { return m_sandboxMode; }
    // Starts sandbox reading over at slot 0 with no frame taken; the mode
    // stays as it is.
    void ResetSandboxMode();

private:
    int32_t m_pid;
    bool m_sandboxMode;
    FILE* m_sbFrameFiles[3];
    int32_t m_lastSbFrameNumber;
    int32_t m_sbFrameSlot;
    int32_t m_numFpsReports;
    std::chrono::steady_clock::time_point m_lastFpsReportTime;
};

#endif
