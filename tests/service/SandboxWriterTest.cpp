// A sandbox sender whose writes fail while its worker runs: an unwritable
// slot, and no marker because no UUID can be made. A failed write loses its
// frame; the next frame goes to the same slot with the same number.
//
// This program provides getrandom, which the UUIDs of the CoreFoundation
// library are made from: it counts the calls (one per write attempt) and
// fails them on demand.
#include "FrameSender.h"

#include "FrameTransport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<int> g_randomCalls{0};
std::atomic<bool> g_randomFails{false};

} // namespace

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    ++g_randomCalls;
    if (g_randomFails) {
        errno = EIO;
        return -1;
    }
    return syscall(SYS_getrandom, buffer, length, flags);
}

namespace {

using Bytes = std::vector<unsigned char>;
using cvl::test::WaitFor;

Bytes Frame(int number) {
    return Bytes(120, static_cast<unsigned char>(number + 1));
}

void Add(FrameSender& sender, int number) {
    const Bytes bytes = Frame(number);
    sender.AddFrame(bytes.data(), static_cast<int32_t>(bytes.size()));
}

// The frame number and frame of the slot's file, or -1 when there is none.
int32_t Written(int slot, Bytes* frame = nullptr) {
    std::string content;
    if (!cvl::test::ReadFile(SandboxFramePath(slot), content))
        return -1;
    const Bytes bytes(content.begin(), content.end());
    int32_t number = -1;
    const unsigned char* start = nullptr;
    int32_t length = 0;
    if (!AcceptSandboxRecord(bytes.data(), bytes.size(), -1, &number, &start, &length))
        return -1;
    if (frame)
        frame->assign(start, start + length);
    return number;
}

// Adds a frame and waits until the worker has tried to write it.
void AddAndWaitForAttempt(FrameSender& sender, int number) {
    const int before = g_randomCalls;
    Add(sender, number);
    ASSERT_TRUE(WaitFor([before] { return g_randomCalls > before; }));
}

TEST(SandboxWriter, FailedWritesKeepTheSlotAndNumberForTheNextFrame) {
    FrameSender sender("sandbox");
    sender.EnableSandboxMode(true);
    Bytes frame;

    // No UUID: nothing is written, no all-zero marker either.
    g_randomFails = true;
    AddAndWaitForAttempt(sender, 7);
    g_randomFails = false;
    EXPECT_FALSE(cvl::test::FileExists(SandboxFramePath(0)));
    Add(sender, 0);
    ASSERT_TRUE(WaitFor([] { return Written(0) == 0; }));

    // Slot 1 turns into a folder while the worker runs: that frame is lost.
    const std::string slot1 = SandboxFramePath(1);
    ASSERT_EQ(cvl::test::RunCommand("mkdir " + cvl::test::ShellQuote(slot1)), 0);
    AddAndWaitForAttempt(sender, 8);
    AddAndWaitForAttempt(sender, 9);
    ASSERT_EQ(cvl::test::RunCommand("rmdir " + cvl::test::ShellQuote(slot1)), 0);
    Add(sender, 1);
    ASSERT_TRUE(WaitFor([] { return Written(1) == 1; }));
    Written(1, &frame);
    EXPECT_EQ(frame, Frame(1));

    // A marker failure in slot 2 leaves slot 2 and number 2 for the next.
    g_randomFails = true;
    AddAndWaitForAttempt(sender, 10);
    g_randomFails = false;
    Add(sender, 2);
    ASSERT_TRUE(WaitFor([] { return Written(2) == 2; }));
    Written(2, &frame);
    EXPECT_EQ(frame, Frame(2));
    Add(sender, 3);
    ASSERT_TRUE(WaitFor([] { return Written(0) == 3; }));
    Written(0, &frame);
    EXPECT_EQ(frame, Frame(3));
}

} // namespace
