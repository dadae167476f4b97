// A program that a test starts and must end: run with a chosen environment,
// its standard output and error in a log file, in a process group of its own
// (so that ending it also ends what it started), and sent SIGKILL by the
// kernel should the test process die first. Ended by its PID when stopped or
// destroyed.
#ifndef CVL_TESTS_SUPPORT_CHILDPROCESS_H
#define CVL_TESTS_SUPPORT_CHILDPROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace cvl::test {

class ChildProcess {
public:
    ChildProcess() = default;
    // Stops it if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs arguments[0] (looked up on the PATH of environment) with the
    // environment (NAME=VALUE entries), its output appended to logPath.
    // False when it could not be started. Each pair of passed gives the
    // child a descriptor of this process (first, above any of the seconds)
    // under the number second.
    bool Start(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::string& logPath,
               const std::vector<std::pair<int, int>>& passed = {});
    pid_t Pid() const { return m_pid; }
    // Whether it still runs (reaps it when it has ended).
    bool Running();
    // Waits up to timeout for it to end by itself; its exit status, 128 +
    // the signal that ended it, or -1 when it still runs.
    int Wait(std::chrono::milliseconds timeout);
    // SIGTERM to its process group, SIGKILL after grace; reaps it. The exit
    // status as Wait gives it.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
    // The exit status once it has ended, -1 before.
    int ExitStatus() const { return m_status; }
    const std::string& LogPath() const { return m_logPath; }
    std::string Log() const;

    // This process's environment with the NAME=VALUE entries of overrides
    // put in and the variables named in removed taken out.
    static std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides,
                                                    const std::vector<std::string>& removed = {});

private:
    // Ends what is left of its process group and collects its exit status.
    void Reap();

    pid_t m_pid = -1;
    int m_status = -1;
    std::string m_logPath;
};

} // namespace cvl::test

#endif
