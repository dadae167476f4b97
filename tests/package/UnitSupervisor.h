// What the user manager does with a service unit, for a machine without
// one: runs the unit's ExecStart (in place, through InstalledRoot) with its
// Environment= over the manager's environment, starts
// it again after RestartSec when it ends and the unit's Restart= says so
// ("always": whenever it ends; "on-failure": a non-zero exit status or a
// signal other than the clean ones; "no"), and stops it with the unit's
// KillSignal. Nothing but these keys of the installed unit is read.
#ifndef CVL_TESTS_PACKAGE_UNITSUPERVISOR_H
#define CVL_TESTS_PACKAGE_UNITSUPERVISOR_H

#include "InstalledRoot.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace cvl::test {

class UnitSupervisor {
public:
    UnitSupervisor(const InstalledRoot& root, const std::string& unitText,
                   std::map<std::string, std::string> environment, std::string stderrFile);
    // Stops the service when it still runs.
    ~UnitSupervisor();
    UnitSupervisor(const UnitSupervisor&) = delete;
    UnitSupervisor& operator=(const UnitSupervisor&) = delete;

    // The unit's value of key ("" when it has none).
    std::string Value(const std::string& key) const;

    bool Start();
    // How often the service was started.
    int Starts();
    // The exit status of the last run that ended (-1: killed by a signal).
    int LastExitStatus();
    // As "systemctl stop": the kill signal, then up to timeout for the end;
    // the exit status, or -1.
    int Stop(std::chrono::seconds timeout);

private:
    void Supervise();
    bool Restarts(int waitStatus) const;
    pid_t Spawn();

    const InstalledRoot& m_root;
    std::map<std::string, std::string> m_unit;
    std::map<std::string, std::string> m_environment;
    std::string m_stderrFile;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    pid_t m_pid = -1;
    int m_starts = 0;
    int m_lastExit = -2;
    bool m_stopping = false;
    bool m_ended = false;
    std::thread m_thread;
};

} // namespace cvl::test

#endif
