#include "NamedProcess.h"
#include "TestSupport.h"

#include <libproc.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using cvl::test::NamedProcess;

std::vector<int> ListPids() {
    std::vector<int> pids(4096);
    const int bytes =
        proc_listpids(PROC_ALL_PIDS, 0, pids.data(), static_cast<int>(pids.size() * sizeof(int)));
    pids.resize(bytes > 0 ? bytes / sizeof(int) : 0);
    return pids;
}

bool Info(int pid, proc_bsdinfo& info) {
    return proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) == sizeof info;
}

// Finds a process by name the way the controller looks for sandboxed hosts.
bool Listed(const std::string& name, pid_t pid) {
    for (int candidate : ListPids()) {
        proc_bsdinfo info;
        if (Info(candidate, info) && candidate == pid && name == info.pbi_name)
            return true;
    }
    return false;
}

TEST(Libproc, RecordHasThePlatformLayout) {
    EXPECT_EQ(sizeof(proc_bsdinfo), 136u);
    EXPECT_EQ(sizeof(proc_bsdinfo::pbi_name), 32u);
    EXPECT_EQ(offsetof(proc_bsdinfo, pbi_comm), 48u);
    EXPECT_EQ(offsetof(proc_bsdinfo, pbi_name), 64u);
}

TEST(Libproc, ListsAProcessUnderItsName) {
    NamedProcess photoBooth("Photo Booth");
    ASSERT_GT(photoBooth.Pid(), 0);
    EXPECT_TRUE(cvl::test::WaitFor([&] { return Listed("Photo Booth", photoBooth.Pid()); }));

    proc_bsdinfo info;
    ASSERT_TRUE(Info(photoBooth.Pid(), info));
    EXPECT_EQ(info.pbi_pid, static_cast<uint32_t>(photoBooth.Pid()));
    EXPECT_EQ(info.pbi_ppid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(info.pbi_uid, getuid());
    EXPECT_STREQ(info.pbi_comm, "Photo Booth");
}

// The command name is cut to 15 characters; the record's name is not.
TEST(Libproc, LongNamesKeepUpTo31Characters) {
    NamedProcess process("Corvalink Long Process Name");
    ASSERT_GT(process.Pid(), 0);
    EXPECT_TRUE(
        cvl::test::WaitFor([&] { return Listed("Corvalink Long Process Name", process.Pid()); }));
    proc_bsdinfo info;
    ASSERT_TRUE(Info(process.Pid(), info));
    EXPECT_STREQ(info.pbi_comm, "Corvalink Long ");
}

TEST(Libproc, ListReportsBytesAndHonoursTheBufferSize) {
    const int needed = proc_listpids(PROC_ALL_PIDS, 0, nullptr, 0);
    EXPECT_GT(needed, 0);
    EXPECT_EQ(needed % static_cast<int>(sizeof(int)), 0);

    int two[3] = {-1, -1, -1};
    EXPECT_EQ(proc_listpids(PROC_ALL_PIDS, 0, two, 2 * sizeof(int)), 2 * int(sizeof(int)));
    EXPECT_EQ(two[2], -1) << "wrote beyond the buffer";

    bool self = false;
    for (int pid : ListPids())
        self = self || pid == getpid();
    EXPECT_TRUE(self);
}

TEST(Libproc, FailuresReturnZero) {
    proc_bsdinfo info;
    EXPECT_EQ(proc_listpids(99, 0, &info, sizeof info), 0);
    EXPECT_EQ(proc_pidinfo(getpid(), 99, 0, &info, sizeof info), 0);
    EXPECT_EQ(proc_pidinfo(getpid(), PROC_PIDTBSDINFO, 0, &info, sizeof info - 1), 0);
    EXPECT_EQ(proc_pidinfo(getpid(), PROC_PIDTBSDINFO, 0, nullptr, sizeof info), 0);
    EXPECT_EQ(proc_pidinfo(-5, PROC_PIDTBSDINFO, 0, &info, sizeof info), 0);

    // A process that has ended and been reaped is gone from the list.
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(proc_pidinfo(child, PROC_PIDTBSDINFO, 0, &info, sizeof info), 0);
}

} // namespace
