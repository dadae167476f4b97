// Request and reply round trips through CFMessagePortSendRequest beside the
// same exchange (request of N bytes, 8-byte reply) over a raw socketpair.
#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

CFDataRef Reply(CFMessagePortRef, SInt32, CFDataRef, void*) {
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("success"), 8);
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0)
            return false;
        p += w, n -= size_t(w);
    }
    return true;
}
bool ReadAll(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0)
            return false;
        p += r, n -= size_t(r);
    }
    return true;
}

// Raw: 4-byte length, payload; reply 8 bytes.
double RawSeconds(size_t size, int rounds) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    std::thread server([&] {
        std::vector<char> buffer(size);
        uint32_t length;
        while (ReadAll(sv[1], reinterpret_cast<char*>(&length), 4) &&
               ReadAll(sv[1], buffer.data(), length))
            WriteAll(sv[1], "success", 8);
    });
    std::vector<char> payload(size, 'x');
    char reply[8];
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        uint32_t length = uint32_t(size);
        WriteAll(sv[0], reinterpret_cast<char*>(&length), 4);
        WriteAll(sv[0], payload.data(), size);
        ReadAll(sv[0], reply, 8);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    shutdown(sv[0], SHUT_WR);
    server.join();
    close(sv[0]);
    close(sv[1]);
    return seconds;
}

double PortSeconds(size_t size, int rounds) {
    std::atomic<CFRunLoopRef> loop{nullptr};
    std::thread server([&] {
        CFMessagePortRef port =
            CFMessagePortCreateLocal(nullptr, CFSTR("bench.transport"), Reply, nullptr, nullptr);
        if (!port) {
            fprintf(stderr, "cannot create the port\n");
            exit(1);
        }
        CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        loop = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent())));
        CFRunLoopRun();
        CFMessagePortInvalidate(port);
        CFRelease(source);
        CFRelease(port);
    });
    while (!loop)
        std::this_thread::yield();
    CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, CFSTR("bench.transport"));
    std::vector<UInt8> bytes(size, 'x');
    CFDataRef data =
        CFDataCreateWithBytesNoCopy(nullptr, bytes.data(), CFIndex(size), kCFAllocatorNull);
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        CFDataRef reply = nullptr;
        if (CFMessagePortSendRequest(remote, 0, data, 5, 5, kCFRunLoopDefaultMode, &reply) != 0) {
            fprintf(stderr, "send failed\n");
            exit(1);
        }
        CFRelease(reply);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    CFRelease(data);
    CFMessagePortInvalidate(remote);
    CFRelease(remote);
    CFRunLoopStop(loop);
    server.join();
    CFRelease(loop);
    return seconds;
}

} // namespace

int main() {
    struct Case {
        const char* name;
        size_t size;
        int rounds;
    } cases[] = {{"8 B", 8, 20000}, {"200 KB", 200 * 1000, 2000}, {"4 MB", 4 * 1000 * 1000, 200}};
    printf("| payload | raw round trips/s | raw MB/s | port round trips/s | port MB/s | port/raw "
           "throughput | port/raw round-trip time |\n");
    printf("|---|---|---|---|---|---|---|\n");
    for (const Case& c : cases) {
        RawSeconds(c.size, c.rounds / 10); // warm-up
        PortSeconds(c.size, c.rounds / 10);
        double raw = RawSeconds(c.size, c.rounds);
        double port = PortSeconds(c.size, c.rounds);
        double rawRate = c.rounds / raw, portRate = c.rounds / port;
        printf("| %s | %.0f | %.1f | %.0f | %.1f | %.0f%% | %.2fx |\n", c.name, rawRate,
               rawRate * double(c.size) / 1e6, portRate, portRate * double(c.size) / 1e6,
               100.0 * portRate / rawRate, port / raw);
    }
    return 0;
}
