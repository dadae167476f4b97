#include "CpuTime.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace cvl::bench {

bool CpuTime::Parse(const std::string& list) {
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        const long pid = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || pid <= 0)
            return false;
        m_pids.push_back(static_cast<pid_t>(pid));
    }
    return !m_pids.empty();
}

namespace {

struct ProcessTimes {
    pid_t parent = 0;
    unsigned long long ticks = 0; // user + system
};

// Field 4 (parent) and fields 14 and 15 (user and system time) of
// /proc/<pid>/stat; false once the process is gone.
bool ReadStat(pid_t pid, ProcessTimes& times) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return false;
    // The fields after the command name, which may hold blanks and ')'.
    const size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size())
        return false;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 4)
            times.parent = static_cast<pid_t>(std::atol(field.c_str()));
        else if (index == 14 || index == 15)
            times.ticks += std::strtoull(field.c_str(), nullptr, 10);
    }
    return true;
}

} // namespace

double CpuTime::Seconds() const {
    // Every process, to find the listed ones' children (a helper process
    // belongs to the chain of the program that started it).
    std::map<pid_t, ProcessTimes> all;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
            ProcessTimes times;
            if (pid > 0 && ReadStat(pid, times))
                all[pid] = times;
        }
        closedir(proc);
    }
    std::set<pid_t> chain(m_pids.begin(), m_pids.end());
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, times] : all)
            if (chain.count(times.parent) && chain.insert(pid).second)
                grew = true;
    }
    unsigned long long ticks = 0;
    for (pid_t pid : chain) {
        const auto found = all.find(pid);
        if (found != all.end())
            ticks += found->second.ticks;
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void CpuTime::Start(int64_t nowNs) {
    m_startNs = nowNs;
    m_startSeconds = Seconds();
}

void CpuTime::Stop(int64_t nowNs) {
    m_stopNs = nowNs;
    m_stopSeconds = Seconds();
}

double CpuTime::Share() const {
    if (m_pids.empty() || !m_startNs || m_stopNs <= m_startNs)
        return -1;
    return (m_stopSeconds - m_startSeconds) / (static_cast<double>(m_stopNs - m_startNs) / 1e9);
}

} // namespace cvl::bench
