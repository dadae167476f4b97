#include "EventThread.h"

#include <algorithm>

namespace zelsdk {

void EventThread::Start(Action action) {
    m_action = std::move(action);
    m_running = true;
    uint64_t generation = ++m_generation;
    m_thread = std::thread([this, generation] { Run(generation); });
}

std::thread EventThread::Stop() {
    m_running = false;
    Settle(m_pending);
    m_pending.clear();
    m_wake.notify_all();
    return std::move(m_thread);
}

void EventThread::Join(std::thread& thread) {
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

void EventThread::Schedule(std::shared_ptr<Camera> camera, Pending::Type type, uint32_t event,
                           uint32_t value, Clock::duration delay) {
    Pending p{Clock::now() + delay, std::move(camera), type, event, value, nullptr};
    auto at = std::upper_bound(m_pending.begin(), m_pending.end(), p,
                               [](const Pending& a, const Pending& b) { return a.due < b.due; });
    m_pending.insert(at, std::move(p));
    m_wake.notify_all();
}

void EventThread::Deliver(std::unique_lock<std::mutex>& lock, std::shared_ptr<Camera> camera,
                          Pending::Type type, uint32_t event, uint32_t value) {
    auto done = std::make_shared<bool>(false);
    Pending p{Clock::now(), std::move(camera), type, event, value, done};
    auto at = std::upper_bound(m_pending.begin(), m_pending.end(), p,
                               [](const Pending& a, const Pending& b) { return a.due < b.due; });
    m_pending.insert(at, std::move(p));
    m_wake.notify_all();
    if (!m_running || m_thread.get_id() == std::this_thread::get_id())
        return;
    m_delivered.wait(lock, [&done] { return *done; });
}

void EventThread::Drop(const std::shared_ptr<Camera>& camera) {
    const auto going = std::stable_partition(m_pending.begin(), m_pending.end(),
                                             [&](const Pending& p) { return p.camera != camera; });
    Settle(std::deque<Pending>(going, m_pending.end()));
    m_pending.erase(going, m_pending.end());
}

void EventThread::Settle(const std::deque<Pending>& going) {
    for (const Pending& p : going) {
        if (p.done)
            *p.done = true;
    }
    m_delivered.notify_all();
}

void EventThread::Run(uint64_t generation) {
    std::unique_lock<std::mutex> lock(m_lock);
    while (m_running && m_generation == generation) {
        if (m_pending.empty()) {
            m_wake.wait(lock);
            continue;
        }
        if (m_pending.front().due > Clock::now()) {
            m_wake.wait_until(lock, m_pending.front().due);
            continue;
        }
        Pending p = std::move(m_pending.front());
        m_pending.pop_front();
        Camera& c = *p.camera;
        if (p.type == Pending::LensOpen || p.type == Pending::LensClose) {
            m_action(p);
            continue;
        }
        if (p.type == Pending::Property && c.propertyHandler) {
            auto handler = c.propertyHandler;
            void* context = c.propertyContext;
            lock.unlock();
            handler(p.event, p.value, 0, context);
            lock.lock();
        } else if (p.type == Pending::State && c.stateHandler) {
            auto handler = c.stateHandler;
            void* context = c.stateContext;
            lock.unlock();
            handler(p.event, p.value, context);
            lock.lock();
        }
        if (p.done) {
            *p.done = true;
            m_delivered.notify_all();
        }
    }
}

} // namespace zelsdk
