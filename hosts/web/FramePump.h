// The one client stream of cvl-web: a thread of its own holds the process's
// shared stream (hosts/support), takes each new picture from its capture
// with the reason there is no live one, and hands it to the hub.
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

    // Joins the process's stream (port mode: StartStreaming) on the pump's thread.
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
