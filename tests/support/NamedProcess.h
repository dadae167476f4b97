// A child process that the process list shows under a chosen name: it runs a
// copy of sleep under that file name, since the kernel names a process after
// the file it runs. Killed and reaped when destroyed or stopped.
#ifndef CVL_TESTS_SUPPORT_NAMEDPROCESS_H
#define CVL_TESTS_SUPPORT_NAMEDPROCESS_H

#include <sys/types.h>

#include <string>

namespace cvl::test {

class NamedProcess {
public:
    explicit NamedProcess(const std::string& name);
    ~NamedProcess();

    NamedProcess(const NamedProcess&) = delete;
    NamedProcess& operator=(const NamedProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    void Stop();

private:
    pid_t m_pid = -1;
};

} // namespace cvl::test

#endif
