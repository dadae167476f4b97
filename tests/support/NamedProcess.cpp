#include "NamedProcess.h"

#include "TestSupport.h"

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cvl::test {

NamedProcess::NamedProcess(const std::string& name) {
    const std::string path = MakeFolder("named") + "/" + name;
    std::string program;
    if (!ReadFile("/bin/sleep", program) || !WriteFile(path, program))
        return;
    chmod(path.c_str(), 0755);
    m_pid = fork();
    if (m_pid == 0) {
        execl(path.c_str(), path.c_str(), "120", static_cast<char*>(nullptr));
        _exit(127);
    }
}

NamedProcess::~NamedProcess() {
    Stop();
}

void NamedProcess::Stop() {
    KillAndReap(m_pid);
}

} // namespace cvl::test
