#include "UnitSupervisor.h"

#include "TestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/wait.h>

namespace cvl::test {

UnitSupervisor::UnitSupervisor(const InstalledRoot& root, const std::string& unitText,
                               std::map<std::string, std::string> environment,
                               std::string stderrFile)
    : m_root(root), m_environment(std::move(environment)), m_stderrFile(std::move(stderrFile)) {
    for (const std::string& line : SplitLines(unitText)) {
        const size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || equals == std::string::npos)
            continue;
        m_unit[line.substr(0, equals)] = line.substr(equals + 1);
    }
}

UnitSupervisor::~UnitSupervisor() {
    Stop(std::chrono::seconds(30));
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        m_changed.wait(lock, [&] { return m_ended; });
    }
    lock.unlock();
    if (m_thread.joinable())
        m_thread.join();
}

std::string UnitSupervisor::Value(const std::string& key) const {
    const auto found = m_unit.find(key);
    return found == m_unit.end() ? "" : found->second;
}

pid_t UnitSupervisor::Spawn() {
    // The unit's Environment= (NAME=VALUE words) over the manager's.
    std::map<std::string, std::string> environment = m_environment;
    const std::string assignments = Value("Environment") + " ";
    for (size_t start = 0, end; (end = assignments.find(' ', start)) != std::string::npos;
         start = end + 1) {
        const std::string word = assignments.substr(start, end - start);
        const size_t equals = word.find('=');
        if (equals != std::string::npos)
            environment[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return m_root.SpawnInPlace(Value("ExecStart"), environment, m_stderrFile);
}

bool UnitSupervisor::Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pid = Spawn();
    if (m_pid <= 0)
        return false;
    m_starts = 1;
    m_thread = std::thread(&UnitSupervisor::Supervise, this);
    return true;
}

bool UnitSupervisor::Restarts(int waitStatus) const {
    const std::string restart = Value("Restart");
    if (restart == "always")
        return true;
    if (restart != "on-failure")
        return false;
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus) != 0;
    // The signals that end a service cleanly for systemd.
    const int signal = WTERMSIG(waitStatus);
    return signal != SIGHUP && signal != SIGINT && signal != SIGTERM && signal != SIGPIPE;
}

void UnitSupervisor::Supervise() {
    const std::string restartSec = Value("RestartSec");
    // systemd's default is 100 ms.
    const auto pause = restartSec.empty()
                           ? std::chrono::milliseconds(100)
                           : std::chrono::milliseconds(std::atol(restartSec.c_str()) * 1000);
    for (;;) {
        pid_t pid;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            pid = m_pid;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_pid = -1;
        m_lastExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_changed.notify_all();
        if (m_stopping || !Restarts(status))
            break;
        if (m_changed.wait_for(lock, pause, [&] { return m_stopping; }))
            break;
        m_pid = Spawn();
        if (m_pid <= 0)
            break;
        ++m_starts;
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended = true;
    m_changed.notify_all();
}

int UnitSupervisor::Starts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_starts;
}

int UnitSupervisor::LastExitStatus() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastExit;
}

int UnitSupervisor::Stop(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_thread.joinable())
        return -1;
    m_stopping = true;
    m_changed.notify_all();
    if (m_pid > 0)
        kill(m_pid, Value("KillSignal") == "SIGKILL" ? SIGKILL : SIGTERM);
    if (!m_changed.wait_for(lock, timeout, [&] { return m_ended; }))
        return -1;
    lock.unlock();
    m_thread.join();
    return m_lastExit;
}

} // namespace cvl::test
