// Keeps cvl-web's connections (a thread each) from being held by clients
// that never finish a request:
//   - a connection has kHeaderSeconds from its start, or from the end of its
//     previous request, to deliver a whole request head; a client that
//     trickles a byte a second is closed all the same;
//   - at most kConnectionLimit connections, and kPerClientLimit from one
//     client address; when a new connection would go over either, the
//     oldest connection of that scope still waiting for its request head is
//     closed to make room (a real request sends its head at once, so the
//     newest is the likely one), and only when none waits is the new one
//     refused;
//   - streams take at most kStreamLimit places, so the page, the snapshot and
//     the figures are served while viewers fill the rest.
// Closing is a shutdown() of the socket: the connection's own thread sees
// its peer gone and ends it. The descriptor is only touched while the
// connection is registered, and it is unregistered before the library
// closes the descriptor, so a shutdown never reaches a reused one.
#ifndef CVL_HOSTS_WEB_CONNECTIONGUARD_H
#define CVL_HOSTS_WEB_CONNECTIONGUARD_H

#include "BurstLog.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace cvl::web {

class ConnectionGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kConnectionLimit = 200;
    static constexpr unsigned kPerClientLimit = 64;
    static constexpr unsigned kStreamLimit = 150;
    static constexpr std::chrono::seconds kHeaderSeconds{10};

    struct Connection;

    explicit ConnectionGuard(BurstLog& log);
    // Stops the deadline thread.
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    // Starts the thread that closes connections past their deadline and
    // ends the log's bursts.
    void Start();
    void Stop();

    // Whether a new connection from client may come in; it may close an
    // older waiting connection to make room.
    bool Admit(const std::string& client);
    // A connection came in (after Admit) on socket fd; the returned handle
    // is passed to the calls below until Closed.
    Connection* Opened(int fd, const std::string& client);
    // Its request head is in: no deadline while the request is answered.
    void RequestStarted(Connection* connection);
    // Its request is answered: the next request's deadline starts.
    void RequestDone(Connection* connection);
    // The library is about to close its socket.
    void Closed(Connection* connection);

    // A place for a stream viewer, or false when kStreamLimit are taken.
    bool TakeStreamPlace();
    void ReleaseStreamPlace();

    // Closes the connections past their deadline (the thread calls it).
    void Check(Clock::time_point now);

    // Connections registered and not being closed.
    unsigned Live() const;

private:
    void Run();
    // The oldest waiting connection, of client or of all when client is
    // null, or nothing.
    Connection* OldestWaitingLocked(const std::string* client);
    void CloseLocked(Connection& connection);

    BurstLog& m_log;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_running = false;
    std::thread m_thread;
    std::list<Connection> m_connections;         // oldest first
    std::map<std::string, unsigned> m_perClient; // live connections
    unsigned m_live = 0;
    unsigned m_streams = 0;
};

} // namespace cvl::web

#endif
