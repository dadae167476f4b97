// The camera's settings on the node: a thread of its own follows the
// service's change counter (every 0.5 s), lists the settings when it moved
// and publishes them as the node's PropInfo and Props params; Props writes
// that consumers make on the node are read on the loop's thread, queued
// (the newest value of a setting wins, a few actions at most) and carried
// out on that thread through the client library, so the loop never waits
// for the service or the camera. Refused writes and failed changes are
// logged on standard error, one line per burst.
#ifndef CVL_HOSTS_PIPEWIRE_NODECONTROLS_H
#define CVL_HOSTS_PIPEWIRE_NODECONTROLS_H

#include "CVLSettings.h"
#include "ControlTable.h"

#include <pipewire/pipewire.h>
#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace cvl::camera {

class NodeControls {
public:
    NodeControls();
    // Stops the thread.
    ~NodeControls();
    NodeControls(const NodeControls&) = delete;
    NodeControls& operator=(const NodeControls&) = delete;

    // Starts following the camera; params go to stream under loop's lock.
    // Called without that lock held.
    bool Start(pw_thread_loop* loop, pw_stream* stream);
    // Ends the thread; before the stream goes, without the loop's lock.
    void Stop();

    // A Props write from a consumer, on the loop's thread.
    void Write(const spa_pod* props);

private:
    using Clock = std::chrono::steady_clock;
    struct Waiting {
        uint64_t ticket;
        ControlWrite write;
        Clock::time_point since;
    };

    static void* Run(void* self);
    void Follow();
    // Lists the settings when the change counter moved; publishes them
    // when the node would show something else.
    void Refresh();
    void Publish();
    void Submit(const ControlWrite& write);
    void CheckOutcomes();
    // Logs the first refusal of a burst; m_mutex held.
    void RefusedLocked(const std::string& reason);
    void Refused(const std::string& reason);

    pw_thread_loop* m_loop = nullptr;
    pw_stream* m_stream = nullptr;
    pthread_t m_thread{};
    bool m_started = false;

    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_wake;
    // Under m_mutex.
    bool m_stop = false;
    bool m_refreshNow = false;
    // A write was refused: the params go out again, so that a program
    // showing the value it wrote shows the camera's again.
    bool m_republish = false;
    ControlTable m_table; // as published
    std::vector<ControlWrite> m_pending;
    bool m_inRefusalBurst = false;
    Clock::time_point m_lastRefusal;

    // The thread's own.
    CVLSettings m_settings;
    bool m_counterKnown = false;
    uint64_t m_counter = 0;
    std::vector<Waiting> m_waiting;
};

} // namespace cvl::camera

#endif
