#include "CpuTime.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

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

double CpuTime::Seconds() const {
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    double total = 0;
    for (pid_t pid : m_pids) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        if (!std::getline(stat, text))
            continue;
        // The fields after the command name, which may hold blanks and ')'.
        const size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long user = 0, system = 0;
        // State is field 3; utime and stime are fields 14 and 15.
        for (int index = 3; index <= 15 && fields >> field; ++index) {
            if (index == 14)
                user = std::strtoull(field.c_str(), nullptr, 10);
            else if (index == 15)
                system = std::strtoull(field.c_str(), nullptr, 10);
        }
        total += static_cast<double>(user + system) / ticks;
    }
    return total;
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
