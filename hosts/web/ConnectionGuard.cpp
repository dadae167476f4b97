#include "ConnectionGuard.h"

#include <sys/socket.h>

namespace cvl::web {

struct ConnectionGuard::Connection {
    int fd;
    std::string client;
    std::list<Connection>::iterator self;
    bool answering = false;  // a request head is in and being answered
    bool closing = false;    // shut down by us, not yet closed by the library
    Clock::time_point since; // when the wait for a request head began
};

ConnectionGuard::ConnectionGuard(BurstLog& log) : m_log(log) {}

ConnectionGuard::~ConnectionGuard() {
    Stop();
}

void ConnectionGuard::Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_running)
        return;
    m_running = true;
    m_thread = std::thread(&ConnectionGuard::Run, this);
}

void ConnectionGuard::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void ConnectionGuard::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running) {
        // A deadline is met to within this period.
        m_wake.wait_for(lock, std::chrono::milliseconds(500));
        if (!m_running)
            break;
        lock.unlock();
        const Clock::time_point now = Clock::now();
        Check(now);
        m_log.Tick(now);
        lock.lock();
    }
}

bool ConnectionGuard::Admit(const std::string& client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto counted = m_perClient.find(client);
    if (counted != m_perClient.end() && counted->second >= kPerClientLimit) {
        Connection* oldest = OldestWaitingLocked(&client);
        if (!oldest) {
            m_log.Refused(Clock::now());
            return false;
        }
        CloseLocked(*oldest);
    }
    if (m_live >= kConnectionLimit) {
        Connection* oldest = OldestWaitingLocked(nullptr);
        if (!oldest) {
            m_log.Refused(Clock::now());
            return false;
        }
        CloseLocked(*oldest);
    }
    return true;
}

ConnectionGuard::Connection* ConnectionGuard::Opened(int fd, const std::string& client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.push_back(Connection{fd, client, {}, false, false, Clock::now()});
    Connection& connection = m_connections.back();
    connection.self = std::prev(m_connections.end());
    ++m_perClient[client];
    ++m_live;
    return &connection;
}

void ConnectionGuard::RequestStarted(Connection* connection) {
    if (!connection)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    connection->answering = true;
}

void ConnectionGuard::RequestDone(Connection* connection) {
    if (!connection)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    connection->answering = false;
    connection->since = Clock::now();
}

void ConnectionGuard::Closed(Connection* connection) {
    if (!connection)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!connection->closing) {
        --m_live;
        if (--m_perClient[connection->client] == 0)
            m_perClient.erase(connection->client);
    }
    m_connections.erase(connection->self);
}

bool ConnectionGuard::TakeStreamPlace() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_streams >= kStreamLimit) {
        m_log.Refused(Clock::now());
        return false;
    }
    ++m_streams;
    return true;
}

void ConnectionGuard::ReleaseStreamPlace() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_streams > 0)
        --m_streams;
}

void ConnectionGuard::Check(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Connection& connection : m_connections)
        if (!connection.answering && !connection.closing &&
            now - connection.since >= kHeaderSeconds)
            CloseLocked(connection);
}

unsigned ConnectionGuard::Live() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_live;
}

ConnectionGuard::Connection* ConnectionGuard::OldestWaitingLocked(const std::string* client) {
    for (Connection& connection : m_connections)
        if (!connection.answering && !connection.closing &&
            (!client || connection.client == *client))
            return &connection;
    return nullptr;
}

void ConnectionGuard::CloseLocked(Connection& connection) {
    // The library reads end-of-stream and closes the connection on its own
    // thread; the descriptor stays open until then.
    shutdown(connection.fd, SHUT_RDWR);
    connection.closing = true;
    --m_live;
    if (--m_perClient[connection.client] == 0)
        m_perClient.erase(connection.client);
    m_log.Dropped(Clock::now());
}

} // namespace cvl::web
