// Run loops: one per thread, multiplexing its sources with poll() and an
// eventfd that CFRunLoopStop and CFRunLoopWakeUp write from any thread.
#include "CFInternal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <sys/eventfd.h>
#include <unistd.h>

struct __CFRunLoop : CFObject {
    __CFRunLoop() : CFObject(kTypeRunLoop) { wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    ~__CFRunLoop() override;
    std::mutex mutex; // guards sources and stopPending
    std::vector<std::pair<CFRunLoopSourceRef, std::string>> sources;
    bool stopPending = false;
    std::atomic<bool> waiting{false};
    int wakeFd = -1;
};

namespace {

std::string ModeName(CFRunLoopMode mode) {
    if (!mode || mode == kCFRunLoopCommonModes)
        return "kCFRunLoopDefaultMode";
    return mode->utf8;
}

void Wake(CFRunLoopRef rl) {
    uint64_t one = 1;
    if (rl->wakeFd >= 0 && write(rl->wakeFd, &one, sizeof one) < 0) {
        // A full counter already means a pending wake-up.
    }
}

void ForgetLoop(CFRunLoopSourceRef source, CFRunLoopRef rl) {
    std::lock_guard<std::mutex> lock(source->loopsMutex);
    auto& loops = source->loops;
    auto it = std::find(loops.begin(), loops.end(), rl);
    if (it != loops.end())
        loops.erase(it);
}

// Holds the thread's run loop and releases it when the thread ends.
struct ThreadRunLoop {
    CFRunLoopRef loop = nullptr;
    ~ThreadRunLoop() {
        if (loop)
            CFRelease(loop);
    }
};
thread_local ThreadRunLoop t_runLoop;

} // namespace

__CFRunLoop::~__CFRunLoop() {
    for (auto& entry : sources) {
        ForgetLoop(entry.first, this);
        CFRelease(entry.first);
    }
    if (wakeFd >= 0)
        close(wakeFd);
}

__CFRunLoopSource::~__CFRunLoopSource() {
    if (port) {
        CFMessagePortSourceGone(port, this);
        CFRelease(port);
    }
}

void CFRunLoopSourceWakeLoops(CFRunLoopSourceRef source) {
    std::lock_guard<std::mutex> lock(source->loopsMutex);
    for (CFRunLoopRef rl : source->loops)
        Wake(rl);
}

extern "C" CFTypeID CFRunLoopGetTypeID(void) {
    return kTypeRunLoop;
}
extern "C" CFTypeID CFRunLoopSourceGetTypeID(void) {
    return kTypeRunLoopSource;
}

extern "C" CFRunLoopRef CFRunLoopGetCurrent(void) {
    if (!t_runLoop.loop)
        t_runLoop.loop = new __CFRunLoop;
    return t_runLoop.loop;
}

extern "C" CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                                 Boolean returnAfterSourceHandled) {
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    const std::string name = ModeName(mode);
    using Clock = std::chrono::steady_clock;
    if (!(seconds > 0))
        seconds = 0;
    seconds = std::min(seconds, 1e9);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    std::vector<CFRunLoopSourceRef> active;
    std::vector<pollfd> fds;
    std::vector<size_t> starts;
    bool handledAny = false;
    for (;;) {
        active.clear();
        {
            std::lock_guard<std::mutex> lock(rl->mutex);
            if (rl->stopPending) {
                rl->stopPending = false;
                return kCFRunLoopRunStopped;
            }
            // Invalidated sources leave the run loop here.
            for (auto it = rl->sources.begin(); it != rl->sources.end();) {
                if (!it->first->valid) {
                    ForgetLoop(it->first, rl);
                    CFRelease(it->first);
                    it = rl->sources.erase(it);
                } else {
                    if (it->second == name)
                        active.push_back(Retained(it->first));
                    ++it;
                }
            }
        }
        if (active.empty())
            return kCFRunLoopRunFinished;
        std::stable_sort(
            active.begin(), active.end(),
            [](CFRunLoopSourceRef a, CFRunLoopSourceRef b) { return a->order < b->order; });
        fds.assign(1, pollfd{rl->wakeFd, POLLIN, 0});
        starts.clear();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        int timeout = int(std::max<long long>(0, std::min<long long>(left.count() + 1, 1000000)));
        if (Clock::now() >= deadline)
            timeout = 0;
        for (CFRunLoopSourceRef source : active) {
            starts.push_back(fds.size());
            if (source->port)
                CFMessagePortCollect(source->port, fds, timeout);
        }
        starts.push_back(fds.size());
        rl->waiting = true;
        int ready = poll(fds.data(), fds.size(), timeout);
        rl->waiting = false;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint64_t value;
            while (read(rl->wakeFd, &value, sizeof value) > 0) {
            }
        }
        int handled = 0;
        // Also after a time-out: the ports close connections past their deadlines.
        if (ready >= 0) {
            for (size_t i = 0; i < active.size(); ++i) {
                int budget = returnAfterSourceHandled ? 1 - handled : 1 << 30;
                if (budget <= 0 || !active[i]->valid || !active[i]->port)
                    continue;
                handled += CFMessagePortPerform(active[i]->port, fds.data() + starts[i],
                                                starts[i + 1] - starts[i], budget);
            }
        }
        for (CFRunLoopSourceRef source : active)
            CFRelease(source);
        handledAny = handledAny || handled > 0;
        {
            std::lock_guard<std::mutex> lock(rl->mutex);
            if (rl->stopPending) {
                rl->stopPending = false;
                return kCFRunLoopRunStopped;
            }
        }
        if (handled > 0 && returnAfterSourceHandled)
            return kCFRunLoopRunHandledSource;
        if (Clock::now() >= deadline)
            return kCFRunLoopRunTimedOut;
    }
}

extern "C" void CFRunLoopRun(void) {
    CFRunLoopRunResult result;
    do {
        result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false);
    } while (result != kCFRunLoopRunStopped && result != kCFRunLoopRunFinished);
}

extern "C" void CFRunLoopStop(CFRunLoopRef rl) {
    if (!rl)
        return;
    {
        std::lock_guard<std::mutex> lock(rl->mutex);
        rl->stopPending = true;
    }
    Wake(rl);
}

extern "C" void CFRunLoopWakeUp(CFRunLoopRef rl) {
    if (rl)
        Wake(rl);
}

extern "C" Boolean CFRunLoopIsWaiting(CFRunLoopRef rl) {
    return rl && rl->waiting;
}

extern "C" void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    if (!rl || !source || !source->valid)
        return;
    const std::string name = ModeName(mode);
    {
        std::lock_guard<std::mutex> lock(rl->mutex);
        for (auto& entry : rl->sources) {
            if (entry.first == source && entry.second == name)
                return;
        }
        rl->sources.emplace_back(Retained(source), name);
        std::lock_guard<std::mutex> sourceLock(source->loopsMutex);
        source->loops.push_back(rl);
    }
    Wake(rl);
}

extern "C" void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source,
                                      CFRunLoopMode mode) {
    if (!rl || !source)
        return;
    const std::string name = ModeName(mode);
    CFRunLoopSourceRef removed = nullptr;
    {
        std::lock_guard<std::mutex> lock(rl->mutex);
        for (auto it = rl->sources.begin(); it != rl->sources.end(); ++it) {
            if (it->first == source && it->second == name) {
                removed = it->first;
                rl->sources.erase(it);
                ForgetLoop(source, rl);
                break;
            }
        }
    }
    if (removed) {
        Wake(rl);
        CFRelease(removed);
    }
}

extern "C" Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source,
                                           CFRunLoopMode mode) {
    if (!rl || !source)
        return false;
    const std::string name = ModeName(mode);
    std::lock_guard<std::mutex> lock(rl->mutex);
    for (auto& entry : rl->sources) {
        if (entry.first == source && entry.second == name && source->valid)
            return true;
    }
    return false;
}

extern "C" void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source) {
    if (!source)
        return;
    source->valid = false;
    CFRunLoopSourceWakeLoops(source);
}

extern "C" Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source) {
    return source && source->valid;
}

extern "C" CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source) {
    return source ? source->order : 0;
}
