#include <MessagePortSender/MessagePortSender.h>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

CFStringRef kName = CFSTR("mps.sender");

// Answers each message with the sender the facility names for it.
CFDataRef SenderPid(CFMessagePortRef port, SInt32, CFDataRef, void*) {
    // Another port, or none, is never answered for.
    const std::string text = MessagePortSenderProcess(nullptr) != -1
                                 ? "answered for no port"
                                 : std::to_string(MessagePortSenderProcess(port));
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()), CFIndex(text.size()));
}

// Asks the port who sent the message; the empty text when the send failed.
std::string AskSender() {
    CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, kName);
    if (!remote)
        return std::string();
    CFDataRef answer = nullptr;
    const SInt32 result =
        CFMessagePortSendRequest(remote, 0, nullptr, 5.0, 5.0, kCFRunLoopDefaultMode, &answer);
    std::string text;
    if (result == kCFMessagePortSuccess && answer)
        text.assign(reinterpret_cast<const char*>(CFDataGetBytePtr(answer)),
                    size_t(CFDataGetLength(answer)));
    if (answer)
        CFRelease(answer);
    CFMessagePortInvalidate(remote);
    CFRelease(remote);
    return text;
}

} // namespace

TEST(MessagePortSender, TheCallbackLearnsTheSendingProcessWhateverTheMessageSays) {
    CFMessagePortRef port = CFMessagePortCreateLocal(nullptr, kName, SenderPid, nullptr, nullptr);
    ASSERT_NE(port, nullptr);
    std::atomic<CFRunLoopRef> loop{nullptr};
    std::thread server([&] {
        CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        loop = CFRunLoopGetCurrent();
        CFRunLoopRun();
        CFRelease(source);
    });
    ASSERT_TRUE(cvl::test::WaitFor([&] { return loop.load() != nullptr; }));

    EXPECT_EQ(AskSender(), std::to_string(getpid()));
    // A child process is told apart from its parent.
    const pid_t child = fork();
    if (child == 0)
        _exit(AskSender() == std::to_string(getpid()) ? 0 : 1);
    ASSERT_GT(child, 0);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Outside a callback there is no sender.
    EXPECT_EQ(MessagePortSenderProcess(port), -1);

    CFRunLoopStop(loop);
    server.join();
    CFMessagePortInvalidate(port);
    CFRelease(port);
}
