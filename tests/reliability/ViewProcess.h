// A cvl-view of the test's installation in a process of its own, and the
// resource figures of a running process, for tests that kill and restart
// clients and services.
#ifndef CVL_TESTS_RELIABILITY_VIEWPROCESS_H
#define CVL_TESTS_RELIABILITY_VIEWPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace cvl::test {

class ViewProcess {
public:
    // Starts build/bin/cvl-view with the arguments; its standard output and
    // error go to files of a folder of its own.
    explicit ViewProcess(const std::vector<std::string>& arguments);
    // Kills it if it still runs.
    ~ViewProcess();
    ViewProcess(const ViewProcess&) = delete;
    ViewProcess& operator=(const ViewProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    // The distinct live frames of every per-second line so far.
    int UniqueFrames() const;
    std::string Errors() const;
    void Kill();

private:
    pid_t m_pid = -1;
    std::string m_out;
    std::string m_err;
};

struct ProcessFigures {
    int threads = -1;
    int descriptors = -1;
    long rssKb = -1;
};
// Read from /proc; -1 for what could not be read.
ProcessFigures FiguresOf(pid_t pid);

} // namespace cvl::test

#endif
