// The start-up probe's command runner when its text cannot grow: "error
// reading pipe", and what was read so far.
//
// This program replaces the global allocation functions: once armed, the
// first request of at least the armed size fails with std::bad_alloc, as
// the standard library's string does when memory runs out.
#include "HostProbe.h"

#include "ServiceTestLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

namespace {

std::atomic<size_t> g_failOnceAtOrAbove{0};

void* Allocate(size_t size) {
    size_t limit = g_failOnceAtOrAbove;
    if (limit != 0 && size >= limit && g_failOnceAtOrAbove.compare_exchange_strong(limit, 0))
        throw std::bad_alloc();
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

} // namespace

void* operator new(size_t size) {
    return Allocate(size);
}
void* operator new[](size_t size) {
    return Allocate(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

namespace {

using cvl::test::CountLogMessages;

constexpr size_t kOutputSize = 200000;
const std::string kCommand = "head -c " + std::to_string(kOutputSize) + " /dev/zero | tr '\\0' a";

TEST(HostProbe, ExecCollectsTheWholeOutput) {
    const std::string output = exec(kCommand.c_str());
    EXPECT_EQ(output, std::string(kOutputSize, 'a'));
    EXPECT_EQ(exec("echo out; echo err >&2"), "out\n");
    EXPECT_EQ(CountLogMessages("error reading pipe"), 0);
}

TEST(HostProbe, ATextThatCannotGrowStopsTheReadingAndKeepsWhatWasRead) {
    g_failOnceAtOrAbove = 16384;
    const std::string output = exec(kCommand.c_str());
    EXPECT_EQ(g_failOnceAtOrAbove, 0u) << "the failing allocation never came";
    EXPECT_GE(output.size(), 4096u);
    EXPECT_LT(output.size(), 16384u);
    EXPECT_EQ(output, std::string(output.size(), 'a'));
    EXPECT_EQ(CountLogMessages("error reading pipe"), 1);
    // The runner goes on working afterwards.
    EXPECT_EQ(exec("echo again"), "again\n");
}

} // namespace
