#include <CoreFoundation/CoreFoundation.h>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using cvl::test::WaitFor;

namespace {

CFStringRef Name(const std::string& text) {
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingMacRoman);
}

CFDataRef Bytes(const std::string& text) {
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()), CFIndex(text.size()));
}

std::string Text(CFDataRef data) {
    return data ? std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                              size_t(CFDataGetLength(data)))
                : "<null>";
}

std::atomic<pthread_t> g_callbackThread;
std::atomic<int> g_inCallback{0};
std::atomic<int> g_maxInCallback{0};

CFDataRef Echo(CFMessagePortRef, SInt32 msgid, CFDataRef data, void*) {
    g_callbackThread = pthread_self();
    int now = ++g_inCallback;
    if (now > g_maxInCallback)
        g_maxInCallback = now;
    std::string reply = std::to_string(msgid) + ":" + Text(data);
    --g_inCallback;
    return Bytes(reply);
}

// Serves a local port on a thread of its own until destroyed.
class Server {
public:
    explicit Server(const std::string& name, CFMessagePortCallBack callback = Echo) {
        m_thread = std::thread([this, name, callback] {
            CFStringRef cfName = Name(name);
            CFMessagePortRef port =
                CFMessagePortCreateLocal(nullptr, cfName, callback, nullptr, nullptr);
            CFRelease(cfName);
            if (port) {
                CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
                CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
                m_threadId = pthread_self();
                m_loop =
                    static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent())));
                CFRunLoopRun();
                CFMessagePortInvalidate(port);
                CFRelease(source);
                CFRelease(port);
            }
            m_done = true;
        });
        WaitFor([this] { return m_loop.load() != nullptr || m_done.load(); });
    }
    ~Server() {
        if (m_loop)
            CFRunLoopStop(m_loop);
        m_thread.join();
        if (m_loop)
            CFRelease(m_loop);
    }
    bool Running() const { return m_loop.load() != nullptr; }
    pthread_t ThreadId() const { return m_threadId; }

private:
    std::thread m_thread;
    std::atomic<CFRunLoopRef> m_loop{nullptr};
    std::atomic<bool> m_done{false};
    pthread_t m_threadId{};
};

SInt32 Send(const std::string& name, SInt32 msgid, const std::string& payload, std::string* reply,
            double timeout = 5.0) {
    CFStringRef cfName = Name(name);
    CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, cfName);
    CFRelease(cfName);
    if (!remote)
        return 99;
    CFDataRef data = Bytes(payload);
    CFDataRef answer = nullptr;
    SInt32 result = CFMessagePortSendRequest(remote, msgid, data, timeout, timeout,
                                             kCFRunLoopDefaultMode, &answer);
    if (reply)
        *reply = Text(answer);
    CFRelease(data);
    if (answer)
        CFRelease(answer);
    CFMessagePortInvalidate(remote);
    CFRelease(remote);
    return result;
}

std::string SocketPath(const std::string& name) {
    return cvl::test::RuntimeFolder() + "/CFMessagePort/" + name;
}

int RawConnect(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, SocketPath(name).c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when the server closes fd (EOF) within a few seconds.
bool ClosedByServer(int fd) {
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buffer[64];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    }
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

size_t CountEntries(const char* folder) {
    size_t count = 0;
    if (DIR* dir = opendir(folder)) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

} // namespace

TEST(CFMessagePortTransport, RequestAndReplyOnTheServingThread) {
    Server server("mp.echo");
    ASSERT_TRUE(server.Running());
    std::string reply;
    EXPECT_EQ(Send("mp.echo", 7, "hello", &reply), kCFMessagePortSuccess);
    EXPECT_EQ(reply, "7:hello");
    EXPECT_TRUE(pthread_equal(g_callbackThread.load(), server.ThreadId()));
    EXPECT_EQ(Send("mp.echo", -1, "", &reply), kCFMessagePortSuccess);
    EXPECT_EQ(reply, "-1:");

    // 4 MB survives byte for byte.
    std::string big(4 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 4093)
        big[i] = char(i);
    EXPECT_EQ(Send("mp.echo", 1, big, &reply), kCFMessagePortSuccess);
    EXPECT_TRUE(reply == "1:" + big);
}

namespace {
std::atomic<CFDataRef> g_kept{nullptr};
std::atomic<int> g_keptCalls{0};
CFDataRef ReplyKept(CFMessagePortRef, SInt32, CFDataRef, void*) {
    auto reply = static_cast<CFDataRef>(CFRetain(g_kept.load()));
    ++g_keptCalls; // counted after the retain, so a count of 1 afterwards means released
    return reply;
}
} // namespace

TEST(CFMessagePortTransport, ReplyIsReleasedAfterSendingAndNoReplyModeDoesNotWait) {
    g_kept = Bytes("success");
    Server server("mp.kept", ReplyKept);
    std::string reply;
    EXPECT_EQ(Send("mp.kept", 0, "x", &reply), kCFMessagePortSuccess);
    EXPECT_EQ(reply, std::string("success"));
    EXPECT_TRUE(WaitFor([] { return CFGetRetainCount(g_kept.load()) == 1; }));

    CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, CFSTR("mp.kept"));
    CFDataRef answer = reinterpret_cast<CFDataRef>(1);
    EXPECT_EQ(CFMessagePortSendRequest(remote, 0, nullptr, 5, 5, nullptr, &answer),
              kCFMessagePortSuccess);
    EXPECT_EQ(answer, nullptr);
    // The send ends when the server has read the message; the callback follows.
    EXPECT_TRUE(WaitFor([] { return g_keptCalls == 2 && CFGetRetainCount(g_kept.load()) == 1; }));
    CFRelease(remote);
    CFRelease(g_kept.load());
}

TEST(CFMessagePortNames, OneServerPerNameAndTakeOverAfterDeath) {
    CFMessagePortRef first =
        CFMessagePortCreateLocal(nullptr, CFSTR("mp.name"), Echo, nullptr, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CFMessagePortCreateLocal(nullptr, CFSTR("mp.name"), Echo, nullptr, nullptr), nullptr);
    CFMessagePortInvalidate(first);
    EXPECT_FALSE(CFMessagePortIsValid(first));
    CFRelease(first);

    // Nothing serves the name: null at once.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CFMessagePortCreateRemote(nullptr, CFSTR("mp.name")), nullptr);
    EXPECT_EQ(CFMessagePortCreateRemote(nullptr, CFSTR("mp.nobody")), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);

    // A process that dies without invalidating leaves its socket file behind.
    pid_t child = fork();
    if (child == 0) {
        CFMessagePortRef port =
            CFMessagePortCreateLocal(nullptr, CFSTR("mp.dead"), Echo, nullptr, nullptr);
        _exit(port ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(cvl::test::FileExists(SocketPath("mp.dead")));
    CFMessagePortRef taken =
        CFMessagePortCreateLocal(nullptr, CFSTR("mp.dead"), Echo, nullptr, nullptr);
    EXPECT_NE(taken, nullptr);
    CFRelease(taken);

    std::string tooLong(200, 'n');
    CFStringRef longName = Name(tooLong);
    EXPECT_EQ(CFMessagePortCreateLocal(nullptr, longName, Echo, nullptr, nullptr), nullptr);
    EXPECT_EQ(CFMessagePortCreateRemote(nullptr, longName), nullptr);
    CFRelease(longName);

    // A name with a slash stays one file in the port folder.
    CFMessagePortRef slash =
        CFMessagePortCreateLocal(nullptr, CFSTR("a/b"), Echo, nullptr, nullptr);
    EXPECT_NE(slash, nullptr);
    EXPECT_TRUE(cvl::test::FileExists(SocketPath("a%2Fb")));
    CFRelease(slash);
}

namespace {
std::atomic<bool> g_release{false};
CFDataRef NeverReplies(CFMessagePortRef, SInt32, CFDataRef, void*) {
    WaitFor([] { return g_release.load(); }, 20s);
    return nullptr;
}
} // namespace

TEST(CFMessagePortTimeouts, ServerThatDoesNotReadAndOneThatDoesNotReply) {
    // A port whose run loop never runs does not read: send time-out.
    CFMessagePortRef idle =
        CFMessagePortCreateLocal(nullptr, CFSTR("mp.idle"), Echo, nullptr, nullptr);
    CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, CFSTR("mp.idle"));
    ASSERT_NE(remote, nullptr);
    CFDataRef data = Bytes("x");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CFMessagePortSendRequest(remote, 0, data, 0.5, 5, kCFRunLoopDefaultMode, nullptr),
              kCFMessagePortSendTimeout);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 4s);
    CFRelease(remote);
    CFRelease(idle);

    // A server that reads and never replies: receive time-out.
    Server server("mp.mute", NeverReplies);
    remote = CFMessagePortCreateRemote(nullptr, CFSTR("mp.mute"));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(CFMessagePortSendRequest(remote, 0, data, 5, 0.5, kCFRunLoopDefaultMode, nullptr),
              kCFMessagePortReceiveTimeout);
    took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 4s);
    g_release = true;
    CFRelease(remote);
    CFRelease(data);
}

TEST(CFMessagePortFailures, ServerGoneFailsFast) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        CFMessagePortRef port =
            CFMessagePortCreateLocal(nullptr, CFSTR("mp.gone"), NeverReplies, nullptr, nullptr);
        CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        char c = 'r';
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30, false);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, CFSTR("mp.gone"));
    ASSERT_NE(remote, nullptr);
    std::thread killer([child] {
        std::this_thread::sleep_for(200ms); // lets the request reach the callback
        kill(child, SIGKILL);
    });
    CFDataRef data = Bytes("x");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CFMessagePortSendRequest(remote, 0, data, 10, 10, kCFRunLoopDefaultMode, nullptr),
              kCFMessagePortBecameInvalidError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    killer.join();
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(CFMessagePortIsValid(remote));
    EXPECT_EQ(CFMessagePortSendRequest(remote, 0, data, 10, 10, kCFRunLoopDefaultMode, nullptr),
              kCFMessagePortIsInvalid);
    CFRelease(remote);
    CFRelease(data);
    close(ready[0]);
    close(ready[1]);
}

TEST(CFMessagePortConcurrency, ManyClientsFromThreadsAndProcessesEachGetTheirReply) {
    g_maxInCallback = 0;
    Server server("mp.many");
    std::vector<pid_t> children;
    for (int p = 0; p < 3; ++p) {
        pid_t child = fork();
        if (child == 0) {
            for (int i = 0; i < 50; ++i) {
                std::string payload = "p" + std::to_string(p) + "-" + std::to_string(i), reply;
                if (Send("mp.many", i, payload, &reply) != 0 ||
                    reply != std::to_string(i) + ":" + payload)
                    _exit(1);
            }
            _exit(0);
        }
        children.push_back(child);
    }
    // Threads share one remote port, and others use their own.
    CFMessagePortRef shared = CFMessagePortCreateRemote(nullptr, CFSTR("mp.many"));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([t, shared, &failures] {
            for (int i = 0; i < 50; ++i) {
                std::string payload = "t" + std::to_string(t) + "-" + std::to_string(i), reply;
                if (t % 2 == 0) {
                    CFDataRef data = Bytes(payload), answer = nullptr;
                    if (CFMessagePortSendRequest(shared, i, data, 5, 5, kCFRunLoopDefaultMode,
                                                 &answer) != 0)
                        ++failures;
                    reply = Text(answer);
                    CFRelease(data);
                    if (answer)
                        CFRelease(answer);
                } else if (Send("mp.many", i, payload, &reply) != 0) {
                    ++failures;
                }
                if (reply != std::to_string(i) + ":" + payload)
                    ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(g_maxInCallback, 1); // one message at a time
    CFRelease(shared);
}

TEST(CFMessagePortBadInput, BadConnectionsCloseAloneAndTheRestGoesOn) {
    Server server("mp.bad");
    std::string reply;
    // Garbage.
    int fd = RawConnect("mp.bad");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "GARBAGE GARBAGE GARBAGE", 23), 23);
    EXPECT_TRUE(ClosedByServer(fd));
    close(fd);
    // A length above 64 MiB.
    const UInt8 huge[16] = {'C', 'F', 'M', 'P', 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
    fd = RawConnect("mp.bad");
    ASSERT_EQ(write(fd, huge, 16), 16);
    EXPECT_TRUE(ClosedByServer(fd));
    close(fd);
    // A truncated message whose peer vanishes; meanwhile another client is served.
    const UInt8 partial[20] = {'C', 'F', 'M', 'P', 1, 1, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0, 'a', 'b'};
    fd = RawConnect("mp.bad");
    ASSERT_EQ(write(fd, partial, 18), 18);
    EXPECT_EQ(Send("mp.bad", 3, "still", &reply), kCFMessagePortSuccess);
    EXPECT_EQ(reply, "3:still");
    close(fd);
    EXPECT_EQ(Send("mp.bad", 4, "alive", &reply), kCFMessagePortSuccess);
    EXPECT_EQ(reply, "4:alive");
    // A payload above the limit is refused before anything is sent.
    CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, CFSTR("mp.bad"));
    UInt8 byte = 0;
    CFDataRef tooBig = CFDataCreateWithBytesNoCopy(
        nullptr, &byte, kCFMessagePortMaximumMessageSize + 1, kCFAllocatorNull);
    EXPECT_EQ(CFMessagePortSendRequest(remote, 0, tooBig, 1, 1, kCFRunLoopDefaultMode, nullptr),
              kCFMessagePortTransportError);
    CFRelease(tooBig);
    CFRelease(remote);
}

TEST(CFMessagePortResources, ThousandCyclesLeakNothing) {
    auto cycle = [](int i) {
        CFMessagePortRef local =
            CFMessagePortCreateLocal(nullptr, CFSTR("mp.cycle"), Echo, nullptr, nullptr);
        ASSERT_NE(local, nullptr);
        CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, local, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, CFSTR("mp.cycle"));
        ASSERT_NE(remote, nullptr);
        CFDataRef data = Bytes("cycle");
        // No reply mode: the send ends when the server has read the message,
        // which needs this thread's run loop; so send from a helper thread.
        std::thread sender([remote, data, i] {
            CFDataRef answer = nullptr;
            EXPECT_EQ(
                CFMessagePortSendRequest(remote, i, data, 5, 5, kCFRunLoopDefaultMode, &answer), 0);
            if (answer)
                CFRelease(answer);
        });
        while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, true) != kCFRunLoopRunHandledSource) {
        }
        sender.join();
        CFMessagePortInvalidate(remote);
        CFMessagePortInvalidate(local);
        CFRelease(data);
        CFRelease(remote);
        CFRelease(source);
        CFRelease(local);
    };
    for (int i = 0; i < 10; ++i)
        cycle(i); // warm-up: the run loop and lazily made state exist
    size_t fds = CountEntries("/proc/self/fd");
    size_t tasks = CountEntries("/proc/self/task");
    for (int i = 0; i < 1000; ++i)
        cycle(i);
    EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") == tasks; }));
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(CountEntries((cvl::test::RuntimeFolder() + "/CFMessagePort").c_str()), 2u);
}
