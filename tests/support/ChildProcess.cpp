#include "ChildProcess.h"

#include "TestSupport.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace cvl::test {

namespace {

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

bool Listed(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& candidate : names)
        if (candidate == name)
            return true;
    return false;
}

int StatusOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, const std::string& logPath,
                         const std::vector<std::pair<int, int>>& passed) {
    if (m_pid > 0 || arguments.empty())
        return false;
    m_logPath = logPath;
    m_status = -1;
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0)
        return false;
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    // execvpe looks the program up on the PATH of this process.
    std::string program = arguments[0];
    if (program.find('/') == std::string::npos) {
        for (const std::string& entry : environment) {
            if (NameOf(entry) != "PATH")
                continue;
            std::string path = entry.substr(5);
            size_t start = 0;
            while (start <= path.size()) {
                const size_t end = path.find(':', start);
                const std::string folder =
                    path.substr(start, end == std::string::npos ? std::string::npos : end - start);
                const std::string candidate = (folder.empty() ? "." : folder) + "/" + arguments[0];
                if (access(candidate.c_str(), X_OK) == 0) {
                    program = candidate;
                    break;
                }
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
        }
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(log);
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        for (const std::pair<int, int>& descriptor : passed)
            dup2(descriptor.first, descriptor.second);
        signal(SIGPIPE, SIG_DFL);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(log);
    // Set from both sides, so that a signal to the group reaches the child
    // whichever of the two runs first.
    setpgid(pid, pid);
    m_pid = pid;
    return true;
}

bool ChildProcess::Running() {
    if (m_pid <= 0)
        return false;
    // Looked at without reaping: while it is a zombie its PID and group stay
    // taken, so the group signal below cannot reach anyone else.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == 0)
        return true;
    Reap();
    return false;
}

void ChildProcess::Reap() {
    // What the program left behind in its group ends with it.
    kill(-m_pid, SIGKILL);
    int status = 0;
    pid_t result;
    while ((result = waitpid(m_pid, &status, 0)) < 0 && errno == EINTR) {
    }
    m_status = result == m_pid ? StatusOf(status) : -1;
    m_pid = -1;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    WaitFor([&] { return !Running(); }, timeout);
    return m_pid > 0 ? -1 : m_status;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (m_pid <= 0)
        return m_status;
    kill(-m_pid, SIGTERM);
    kill(m_pid, SIGTERM);
    if (Wait(grace) < 0 && m_pid > 0) {
        kill(m_pid, SIGKILL);
        Reap();
    }
    return m_status;
}

std::string ChildProcess::Log() const {
    std::string contents;
    ReadFile(m_logPath, contents);
    return contents;
}

std::vector<std::string> ChildProcess::EnvironmentWith(const std::vector<std::string>& overrides,
                                                       const std::vector<std::string>& removed) {
    std::vector<std::string> names = removed;
    for (const std::string& entry : overrides)
        names.push_back(NameOf(entry));
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry)
        if (!Listed(names, NameOf(*entry)))
            result.push_back(*entry);
    result.insert(result.end(), overrides.begin(), overrides.end());
    return result;
}

} // namespace cvl::test
