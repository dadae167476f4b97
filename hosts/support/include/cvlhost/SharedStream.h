// The process's one client stream, shared by every host object in it. The
// client library names its frame port after the process and delivers every
// frame to the frame receiver made last, so two CVLClients in one process
// starve each other. Every element, viewer or node therefore holds a
// SharedStream: the first one in the process starts the capture (the client
// and its thread), the others join it, and the last one to go ends the
// stream. Each holder waits for frames on its own and can be interrupted on
// its own.
#ifndef CVLHOST_SHAREDSTREAM_H
#define CVLHOST_SHAREDSTREAM_H

#include "cvlhost/FrameCapture.h"

namespace cvl::host {

class SharedStream {
public:
    using Clock = FrameCapture::Clock;
    using Listener = FrameCapture::Listener;

    // Joins the process's stream, starting it when there is none. listener,
    // when given, is told of every change of kind or state (FrameCapture).
    // A stream of other settings (sandbox against port mode) cannot run in
    // the same process: then the holder is not attached and gets nothing.
    explicit SharedStream(const CaptureSettings& settings = CaptureSettings(),
                          Listener listener = Listener());
    // Leaves the stream; the last holder ends it (StopStreaming), which waits
    // for the capture thread (at most about 2 s when the service hangs).
    ~SharedStream();

    SharedStream(const SharedStream&) = delete;
    SharedStream& operator=(const SharedStream&) = delete;

    // False when the process streams with other settings already.
    bool Attached() const { return m_capture != nullptr; }

    // As FrameCapture's, for this holder alone.
    bool WaitNewer(uint64_t after, Clock::time_point deadline, CapturedFrame& out);
    bool Newest(CapturedFrame& out);
    void Interrupt(bool on);
    StreamState State();

    // Captures (client streams) the process holds now.
    static int StreamsInProcess();

private:
    FrameCapture* m_capture = nullptr;
    FrameCapture::Waiter m_waiter;
    int m_listener = 0;
};

} // namespace cvl::host

#endif
