// The one client stream of cvl-web: a thread of its own owns the CVLClient,
// calls GetFrame at a steady rate as a video host would, tells live frames
// from status frames and repeats, and hands each new picture to the hub.
#ifndef CVL_HOSTS_WEB_FRAMEPUMP_H
#define CVL_HOSTS_WEB_FRAMEPUMP_H

#include "FrameHub.h"
#include "WebOptions.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace cvl::web {

class FramePump {
public:
    FramePump(FrameHub& hub, const WebOptions& options);
    // Stops the stream if it still runs.
    ~FramePump();
    FramePump(const FramePump&) = delete;
    FramePump& operator=(const FramePump&) = delete;

    // Starts the stream (port mode: StartStreaming) on the pump's thread.
    void Start();
    // Ends the stream (StopStreaming) and joins the thread.
    void Stop();

private:
    void Run();

    FrameHub& m_hub;
    const WebOptions m_options;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
};

} // namespace cvl::web

#endif
