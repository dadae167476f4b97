// The SDK's own event thread. Events are queued in due order and delivered
// here, never inside the call that caused them, with the simulator's lock
// released while a handler runs (a handler may call the SDK). The queue
// shares the simulator's lock: every member but Join is used with it held.
#ifndef ZELSDK_SRC_EVENTTHREAD_H
#define ZELSDK_SRC_EVENTTHREAD_H

#include "Camera.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace [[gnu::visibility("hidden")]] zelsdk {

struct Pending {
    // Property and State go to the camera's handlers; LensOpen and LensClose
    // are the camera's own delayed actions, handed to the simulator.
    enum Type { Property, State, LensOpen, LensClose };
    Clock::time_point due;
    std::shared_ptr<Camera> camera;
    Type type;
    uint32_t event;
    uint32_t value;
    // Set once the event is delivered (its handler returned) or dropped,
    // for a caller that waits for it; null when nobody waits.
    std::shared_ptr<bool> done;
};

class EventThread {
public:
    // Runs a LensOpen or LensClose entry when it is due, with the lock held.
    using Action = std::function<void(const Pending&)>;

    explicit EventThread(std::mutex& lock) : m_lock(lock) {}

    void Start(Action action);
    // Ends delivery and drops what is pending; returns the thread, which the
    // caller hands to Join once the lock is released.
    std::thread Stop();
    // Waits for a running handler to return. Called from inside a handler
    // it does not wait for itself: that handler is the last one, and the
    // thread ends when it returns.
    static void Join(std::thread& thread);

    void Schedule(std::shared_ptr<Camera> camera, Pending::Type type, uint32_t event,
                  uint32_t value, Clock::duration delay);
    // Schedules a Property or State event now and waits, with the lock
    // (held through lock) released meanwhile, until its handler returned or
    // it was dropped. On the event thread itself it only schedules, since
    // the thread cannot deliver while it waits.
    void Deliver(std::unique_lock<std::mutex>& lock, std::shared_ptr<Camera> camera,
                 Pending::Type type, uint32_t event, uint32_t value);
    // Drops the pending events of an unplugged camera.
    void Drop(const std::shared_ptr<Camera>& camera);

private:
    void Run(uint64_t generation);
    // Marks done the events of entries that are going, and wakes their waiters.
    void Settle(const std::deque<Pending>& going);

    std::mutex& m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_delivered;
    std::deque<Pending> m_pending;
    Action m_action;
    bool m_running = false;
    // A thread left behind by a Stop from inside a handler ends even when a
    // new Start has come before its handler returned.
    uint64_t m_generation = 0;
    std::thread m_thread;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
