#include "libproc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

// A /proc entry name that is all digits is a process identifier.
bool ParsePid(const char* name, int& pid) {
    if (!*name)
        return false;
    long value = 0;
    for (const char* c = name; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        value = value * 10 + (*c - '0');
        if (value > 0x7fffffff)
            return false;
    }
    pid = static_cast<int>(value);
    return true;
}

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return true;
}

// The fields of /proc/<pid>/stat that the record uses. The command name is
// in parentheses and may itself hold blanks and parentheses, so the fields
// after it are found from the last closing parenthesis.
struct StatFields {
    std::string comm;
    char state = '?';
    long ppid = 0, pgrp = 0, ttyNr = 0, tpgid = 0, nice = 0;
    unsigned long long startTicks = 0;
};

bool ReadStat(int pid, StatFields& fields) {
    std::string text;
    if (!ReadText("/proc/" + std::to_string(pid) + "/stat", text))
        return false;
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    fields.comm = text.substr(open + 1, close - open - 1);

    std::istringstream rest(text.substr(close + 1));
    std::string skip;
    long session = 0;
    rest >> fields.state >> fields.ppid >> fields.pgrp >> session >> fields.ttyNr >> fields.tpgid;
    // flags, minflt, cminflt, majflt, cmajflt, utime, stime, cutime, cstime,
    // priority
    for (int i = 0; i < 10; ++i)
        rest >> skip;
    rest >> fields.nice;
    rest >> skip >> skip; // num_threads, itrealvalue
    rest >> fields.startTicks;
    return !rest.fail();
}

// Real, effective and saved user and group identifiers from
// /proc/<pid>/status.
void ReadIds(int pid, proc_bsdinfo& info) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        unsigned long real = 0, effective = 0, saved = 0;
        if (std::sscanf(line.c_str(), "Uid: %lu %lu %lu", &real, &effective, &saved) == 3) {
            info.pbi_ruid = static_cast<uid_t>(real);
            info.pbi_uid = static_cast<uid_t>(effective);
            info.pbi_svuid = static_cast<uid_t>(saved);
        } else if (std::sscanf(line.c_str(), "Gid: %lu %lu %lu", &real, &effective, &saved) == 3) {
            info.pbi_rgid = static_cast<gid_t>(real);
            info.pbi_gid = static_cast<gid_t>(effective);
            info.pbi_svgid = static_cast<gid_t>(saved);
        }
    }
}

unsigned long long BootTime() {
    std::ifstream in("/proc/stat");
    std::string line;
    while (std::getline(in, line)) {
        unsigned long long seconds = 0;
        if (std::sscanf(line.c_str(), "btime %llu", &seconds) == 1)
            return seconds;
    }
    return 0;
}

// The kernel cuts the command name to 15 characters. Where the program's
// own name (the last path element of argv[0]) continues that cut name, the
// longer one is the process name.
std::string ProcessName(int pid, const std::string& comm) {
    std::string cmdline;
    if (comm.size() < MAXCOMLEN - 1 ||
        !ReadText("/proc/" + std::to_string(pid) + "/cmdline", cmdline))
        return comm;
    std::string program = cmdline.substr(0, cmdline.find('\0'));
    const size_t slash = program.rfind('/');
    if (slash != std::string::npos)
        program = program.substr(slash + 1);
    if (program.size() > comm.size() && program.compare(0, comm.size(), comm) == 0)
        return program;
    return comm;
}

uint32_t StatusOf(char state) {
    switch (state) {
    case 'R':
        return SRUN;
    case 'S':
    case 'D':
    case 'I':
        return SSLEEP;
    case 'T':
    case 't':
        return SSTOP;
    case 'Z':
    case 'X':
        return SZOMB;
    default:
        return SRUN;
    }
}

void CopyName(char* destination, size_t size, const std::string& name) {
    const size_t length = name.size() < size - 1 ? name.size() : size - 1;
    std::memcpy(destination, name.data(), length);
    destination[length] = '\0';
}

} // namespace

extern "C" int proc_listpids(uint32_t type, uint32_t typeinfo, void* buffer, int buffersize) {
    (void)typeinfo;
    if (type != PROC_ALL_PIDS || buffersize < 0) {
        errno = EINVAL;
        return 0;
    }
    DIR* folder = opendir("/proc");
    if (!folder)
        return 0;
    int* pids = static_cast<int*>(buffer);
    const int capacity = buffer ? buffersize / static_cast<int>(sizeof(int)) : 0;
    int count = 0;
    while (dirent* entry = readdir(folder)) {
        int pid = 0;
        if (!ParsePid(entry->d_name, pid))
            continue;
        if (buffer) {
            if (count >= capacity)
                break;
            pids[count] = pid;
        }
        ++count;
    }
    closedir(folder);
    return count * static_cast<int>(sizeof(int));
}

extern "C" int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize) {
    (void)arg;
    if (flavor != PROC_PIDTBSDINFO || !buffer || pid < 0) {
        errno = EINVAL;
        return 0;
    }
    if (buffersize < static_cast<int>(sizeof(proc_bsdinfo))) {
        errno = ENOMEM;
        return 0;
    }
    StatFields fields;
    if (!ReadStat(pid, fields)) {
        errno = ESRCH;
        return 0;
    }
    proc_bsdinfo info;
    std::memset(&info, 0, sizeof info);
    info.pbi_pid = static_cast<uint32_t>(pid);
    info.pbi_ppid = static_cast<uint32_t>(fields.ppid);
    info.pbi_pgid = static_cast<uint32_t>(fields.pgrp);
    info.e_tdev = static_cast<uint32_t>(fields.ttyNr);
    info.e_tpgid = static_cast<uint32_t>(fields.tpgid);
    info.pbi_nice = static_cast<int32_t>(fields.nice);
    info.pbi_status = StatusOf(fields.state);
    ReadIds(pid, info);
    const long ticks = sysconf(_SC_CLK_TCK);
    if (ticks > 0) {
        const unsigned long long started = fields.startTicks;
        info.pbi_start_tvsec = BootTime() + started / static_cast<unsigned long long>(ticks);
        info.pbi_start_tvusec =
            (started % static_cast<unsigned long long>(ticks)) * 1000000ULL / ticks;
    }
    CopyName(info.pbi_comm, sizeof info.pbi_comm, fields.comm);
    CopyName(info.pbi_name, sizeof info.pbi_name, ProcessName(pid, fields.comm));
    std::memcpy(buffer, &info, sizeof info);
    return static_cast<int>(sizeof info);
}
