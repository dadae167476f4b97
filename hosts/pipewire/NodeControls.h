// The camera's settings on the node: the settings applier follows the
// service's change counter and the node publishes the settings as its
// PropInfo and Props params when they change; Props writes that consumers
// make on the node are read on the loop's thread and handed to the applier
// (the newest value of a setting wins, a few actions at most), which carries
// them out on its own thread, so the loop never waits for the service or the
// camera. Refused writes and failed changes are logged on standard error,
// one line per burst, and the params go out again.
#ifndef CVL_HOSTS_PIPEWIRE_NODECONTROLS_H
#define CVL_HOSTS_PIPEWIRE_NODECONTROLS_H

#include "ControlTable.h"
#include "cvlhost/SettingsApplier.h"

#include <pipewire/pipewire.h>
#include <pthread.h>

#include <chrono>
#include <string>
#include <vector>

namespace cvl::camera {

class NodeControls {
public:
    NodeControls();
    // Stops the applier.
    ~NodeControls();
    NodeControls(const NodeControls&) = delete;
    NodeControls& operator=(const NodeControls&) = delete;

    // Starts following the camera; params go to stream under loop's lock.
    // Called without that lock held.
    bool Start(pw_thread_loop* loop, pw_stream* stream);
    // Ends the applier's thread; before the stream goes, without the loop's
    // lock.
    void Stop();

    // A Props write from a consumer, on the loop's thread.
    void Write(const spa_pod* props);

private:
    using Clock = std::chrono::steady_clock;

    // On the applier's thread: the settings as listed now.
    void Show(const std::vector<CVLSetting>& settings);
    void Publish();
    // Logs the first refusal of a burst; m_mutex held.
    void RefusedLocked(const std::string& reason);
    void Refused(const std::string& reason);

    pw_thread_loop* m_loop = nullptr;
    pw_stream* m_stream = nullptr;

    // Taken before the applier's own lock, never after.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    // Under m_mutex.
    ControlTable m_table; // as published
    // A write was refused: the params go out again, so that a program
    // showing the value it wrote shows the camera's again.
    bool m_republish = false;
    bool m_inRefusalBurst = false;
    Clock::time_point m_lastRefusal;

    // Last: its thread calls the members above.
    cvl::host::SettingsApplier m_applier;
};

} // namespace cvl::camera

#endif
