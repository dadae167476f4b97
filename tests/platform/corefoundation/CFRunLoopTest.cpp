#include <CoreFoundation/CoreFoundation.h>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {
CFDataRef Echo(CFMessagePortRef, SInt32, CFDataRef data, void*) {
    return CFDataCreate(nullptr, CFDataGetBytePtr(data), CFDataGetLength(data));
}
} // namespace

TEST(CFRunLoop, OnePerThread) {
    CFRunLoopRef mine = CFRunLoopGetCurrent();
    EXPECT_EQ(mine, CFRunLoopGetCurrent());
    CFRunLoopRef other = nullptr;
    std::thread([&] { other = CFRunLoopGetCurrent(); }).join();
    EXPECT_NE(mine, other);
}

TEST(CFRunLoop, ResultsOfRunInMode) {
    // No sources: finished at once.
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5.0, false), kCFRunLoopRunFinished);
    CFMessagePortRef port =
        CFMessagePortCreateLocal(nullptr, CFSTR("rl.results"), Echo, nullptr, nullptr);
    ASSERT_NE(port, nullptr);
    CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false), kCFRunLoopRunTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.0, false), kCFRunLoopRunTimedOut);

    // A stop that comes before the loop runs is kept.
    CFRunLoopStop(CFRunLoopGetCurrent());
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10.0, false), kCFRunLoopRunStopped);

    // A handled message with returnAfterSourceHandled.
    std::thread sender([] {
        CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, CFSTR("rl.results"));
        CFMessagePortSendRequest(remote, 0, nullptr, 5, 5, kCFRunLoopDefaultMode, nullptr);
        CFMessagePortInvalidate(remote);
        CFRelease(remote);
    });
    CFRunLoopRunResult result;
    do {
        result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10.0, true);
    } while (result == kCFRunLoopRunTimedOut);
    EXPECT_EQ(result, kCFRunLoopRunHandledSource);
    sender.join();
    CFMessagePortInvalidate(port);
    CFRelease(source);
    CFRelease(port);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, false), kCFRunLoopRunFinished);
}

TEST(CFRunLoop, StopFromAnotherThreadEndsRun) {
    std::atomic<CFRunLoopRef> loop{nullptr};
    std::atomic<bool> ended{false};
    std::thread server([&] {
        CFMessagePortRef port =
            CFMessagePortCreateLocal(nullptr, CFSTR("rl.stop"), Echo, nullptr, nullptr);
        CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        loop = CFRunLoopGetCurrent();
        CFRunLoopRun();
        ended = true;
        CFMessagePortInvalidate(port);
        CFRelease(source);
        CFRelease(port);
    });
    ASSERT_TRUE(cvl::test::WaitFor([&] { return loop.load() != nullptr; }));
    CFRunLoopWakeUp(loop); // a wake-up alone does not end the run
    EXPECT_FALSE(cvl::test::WaitFor([&] { return ended.load(); }, std::chrono::milliseconds(100)));
    CFRunLoopStop(loop);
    server.join();
    EXPECT_TRUE(ended);
}
