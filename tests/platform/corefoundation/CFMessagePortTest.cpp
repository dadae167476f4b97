#include <CoreFoundation/CoreFoundation.h>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

// Where TellsAndNeverReplies says that a request reached it.
int g_reachedFd = -1;

CFDataRef TellsAndNeverReplies(CFMessagePortRef port, SInt32 id, CFDataRef data, void* info) {
    const char c = 'q';
    if (write(g_reachedFd, &c, 1) != 1)
        _exit(1);
    return NeverReplies(port, id, data, info);
}

TEST(CFMessagePortFailures, ServerGoneFailsFast) {
    int ready[2];
    int reached[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(reached), 0);
    pid_t child = fork();
    if (child == 0) {
        g_reachedFd = reached[1];
        CFMessagePortRef port = CFMessagePortCreateLocal(nullptr, CFSTR("mp.gone"),
                                                         TellsAndNeverReplies, nullptr, nullptr);
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
    // The server dies while the request is in its callback.
    std::thread killer([child, &reached] {
        pollfd entry = {reached[0], POLLIN, 0};
        poll(&entry, 1, 60000);
        kill(child, SIGKILL);
    });
    CFDataRef data = Bytes("x");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CFMessagePortSendRequest(remote, 0, data, 60, 60, kCFRunLoopDefaultMode, nullptr),
              kCFMessagePortBecameInvalidError);
    // At once, not at the end of the receive time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    killer.join();
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(CFMessagePortIsValid(remote));
    EXPECT_EQ(CFMessagePortSendRequest(remote, 0, data, 10, 10, kCFRunLoopDefaultMode, nullptr),
              kCFMessagePortIsInvalid);
    CFRelease(remote);
    CFRelease(data);
    close(ready[0]);
    close(ready[1]);
    close(reached[0]);
    close(reached[1]);
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

// The stand-in offers the framework's interface and nothing more: the sender
// of a message comes from the platform's message-port sender library.
TEST(CFMessagePortInterface, OffersNoSenderProcessOfItsOwn) {
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "CFMessagePortGetSenderProcessIdentifier"), nullptr);
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

namespace {

// A connection that has sent the first bytes of a header and nothing more.
int HalfHeader(const std::string& name) {
    int fd = RawConnect(name);
    if (fd >= 0 && write(fd, "CFMP", 4) != 4) {
        close(fd);
        fd = -1;
    }
    return fd;
}

void CloseAll(std::vector<int>& fds) {
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    fds.clear();
}

// Whether the server hangs up on fd within timeout; what it sent stays unread.
bool HungUpWithin(int fd, std::chrono::seconds timeout) {
    return WaitFor(
        [fd] {
            pollfd p{fd, POLLRDHUP, 0};
            return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP));
        },
        timeout);
}

} // namespace

TEST(CFMessagePortFlood, SilentAndUnfinishedConnectionsNeitherLockOthersOutNorStay) {
    Server server("mp.flood");
    ASSERT_TRUE(server.Running());
    // Beyond the per-port cap of 1024: unfinished headers first, then
    // connections that say nothing at all.
    std::vector<int> flood;
    for (int i = 0; i < 1100; ++i)
        flood.push_back(HalfHeader("mp.flood"));
    for (int i = 0; i < 200; ++i)
        flood.push_back(RawConnect("mp.flood"));
    ASSERT_GE(flood.back(), 0);
    std::string reply;
    EXPECT_EQ(Send("mp.flood", 1, "through", &reply), kCFMessagePortSuccess);
    EXPECT_EQ(reply, "1:through");

    // An unfinished message is given a few seconds, then its connection goes.
    const int late = HalfHeader("mp.flood");
    ASSERT_GE(late, 0);
    EXPECT_TRUE(HungUpWithin(late, std::chrono::seconds(30)));
    close(late);
    EXPECT_EQ(Send("mp.flood", 2, "still", &reply), kCFMessagePortSuccess);
    CloseAll(flood);
}

TEST(CFMessagePortFlood, PeersThatNeverTakeTheirRepliesDoNotHoldUpTheOthers) {
    Server server("mp.stall");
    ASSERT_TRUE(server.Running());
    // Each peer sends a long run of requests in one go and reads nothing, so
    // the server's acknowledgements and replies pile up towards it.
    std::string run;
    for (int i = 0; i < 4000; ++i)
        run += std::string("CFMP\1\1\0\0\0\0\0\0\1\0\0\0x", 17);
    std::vector<int> peers;
    for (int i = 0; i < 10; ++i) {
        const int fd = RawConnect("mp.stall");
        ASSERT_GE(fd, 0);
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        ASSERT_GT(write(fd, run.data(), run.size()), 0);
        peers.push_back(fd);
    }
    ASSERT_TRUE(WaitFor([&] {
        for (int fd : peers) {
            int unread = 0;
            if (ioctl(fd, FIONREAD, &unread) != 0 || unread < 1000)
                return false;
        }
        return true;
    }));
    // Until the server has given up on every peer that took nothing (after
    // its second each), a client with a client's time-outs is served all along.
    auto allHungUp = [&] {
        for (int fd : peers) {
            if (!HungUpWithin(fd, std::chrono::seconds(0)))
                return false;
        }
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int sent = 0;
    while (!allHungUp() && std::chrono::steady_clock::now() < deadline) {
        std::string reply;
        ASSERT_EQ(Send("mp.stall", sent, "meanwhile", &reply, 2.0), kCFMessagePortSuccess)
            << "after " << sent << " requests";
        EXPECT_EQ(reply, std::to_string(sent) + ":meanwhile");
        ++sent;
    }
    EXPECT_TRUE(allHungUp());
    CloseAll(peers);
}

TEST(CFMessagePortNames, StaleSocketFilesGoWhenAPortIsCreated) {
    Server live("mp.alive");
    ASSERT_TRUE(live.Running());
    // Socket files left by processes that died: one long ago, one just now.
    auto leaveBehind = [](const std::string& name) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, SocketPath(name).c_str(), sizeof address.sun_path - 1);
        const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return bound;
    };
    ASSERT_TRUE(leaveBehind("mp.old"));
    ASSERT_TRUE(leaveBehind("mp.young"));
    const timespec minuteAgo[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, SocketPath("mp.old").c_str(), minuteAgo, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, SocketPath("mp.alive").c_str(), minuteAgo, 0), 0);

    Server fresh("mp.fresh");
    ASSERT_TRUE(fresh.Running());
    EXPECT_FALSE(cvl::test::FileExists(SocketPath("mp.old")));
    // A young file may be a port being made; a live port stays whatever its age.
    EXPECT_TRUE(cvl::test::FileExists(SocketPath("mp.young")));
    EXPECT_TRUE(cvl::test::FileExists(SocketPath("mp.alive")));
    std::string reply;
    EXPECT_EQ(Send("mp.alive", 4, "here", &reply), kCFMessagePortSuccess);
}

TEST(CFMessagePortUsers, AnotherUserIsRefusedAndTheSameUserServed) {
    if (!cvl::test::CanActAsOtherUser())
        GTEST_SKIP() << "needs root and setpriv to run a client as another user";
    Server server("mp.users");
    ASSERT_TRUE(server.Running());
    const std::string folder = cvl::test::RuntimeFolder() + "/CFMessagePort";
    // The folder of 0700 keeps the other user away from the socket...
    EXPECT_EQ(cvl::test::ProbeAsOtherUser("send", "mp.users"), 1);
    EXPECT_EQ(cvl::test::ProbeAsOtherUser("raw", SocketPath("mp.users")), 1);
    // ...and where the folders let it through, the peer check does.
    for (const std::string& path : {cvl::test::TempFolder(), cvl::test::RuntimeFolder(), folder})
        ASSERT_EQ(chmod(path.c_str(), 0711), 0);
    ASSERT_EQ(chmod(SocketPath("mp.users").c_str(), 0777), 0);
    EXPECT_EQ(cvl::test::ProbeAsOtherUser("raw", SocketPath("mp.users")), 1);
    EXPECT_EQ(cvl::test::ProbeAsOtherUser("send", "mp.users"), 1);
    EXPECT_EQ(cvl::test::RunCommand(cvl::test::ShellQuote(cvl::test::Program("cvl-port-probe")) +
                                    " raw " + cvl::test::ShellQuote(SocketPath("mp.users"))),
              0);
    for (const std::string& path : {cvl::test::TempFolder(), cvl::test::RuntimeFolder(), folder})
        chmod(path.c_str(), 0700);
    std::string reply;
    EXPECT_EQ(Send("mp.users", 5, "mine", &reply), kCFMessagePortSuccess);
    EXPECT_EQ(reply, "5:mine");
}

TEST(CFMessagePortNames, WithoutARuntimeFolderPortsLiveWhereNoOtherUserCanCreateThem) {
    const std::string home = cvl::test::MakeFolder("home");
    std::string runtime = getenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_RUNTIME_DIR");
    setenv("HOME", home.c_str(), 1);
    CFMessagePortRef port =
        CFMessagePortCreateLocal(nullptr, CFSTR("mp.home"), Echo, nullptr, nullptr);
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(cvl::test::FileExists(home + "/.CFMessagePort/mp.home"));
    struct stat st;
    ASSERT_EQ(stat((home + "/.CFMessagePort").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    CFMessagePortInvalidate(port);
    CFRelease(port);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

    if (!cvl::test::CanActAsOtherUser())
        GTEST_SKIP() << "needs root and setpriv to squat another user's folder";
    // Another user (here root) made the /tmp folder of a user without a home
    // first: that user's ports are refused, and it says why.
    const std::string squatted = "/tmp/CFMessagePort-" + std::to_string(cvl::test::kOtherUser);
    if (mkdir(squatted.c_str(), 0777) != 0)
        GTEST_SKIP() << squatted << " exists already";
    chmod(squatted.c_str(), 0777);
    std::string said;
    EXPECT_EQ(
        cvl::test::ProbeAsOtherUser("local", "mp.squat", "env -u XDG_RUNTIME_DIR HOME=", &said), 1);
    EXPECT_NE(said.find("CFMessagePort: port folder " + squatted + " belongs to another user"),
              std::string::npos)
        << said;
    // With a home of its own, the squat is beside the point.
    const std::string otherHome = cvl::test::MakeFolder("otherhome");
    chown(otherHome.c_str(), cvl::test::kOtherUser, cvl::test::kOtherUser);
    chmod(cvl::test::TempFolder().c_str(), 0711);
    EXPECT_EQ(cvl::test::ProbeAsOtherUser("local", "mp.squat",
                                          "env -u XDG_RUNTIME_DIR HOME=" +
                                              cvl::test::ShellQuote(otherHome)),
              0);
    chmod(cvl::test::TempFolder().c_str(), 0700);
    rmdir(squatted.c_str());
}
