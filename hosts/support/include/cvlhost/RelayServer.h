// The owner's side of the frame relay: a thread that accepts the other host
// processes of this user on the relay socket and sends each the newest frame
// the owner shows, with its kind and the stream's state. A reader gets the
// newest frame whenever it has taken the last one: a slow reader skips
// frames and never holds the owner up. Readers send nothing; one that does,
// that another user runs, or that takes nothing for a long time is
// disconnected.
#ifndef CVLHOST_RELAYSERVER_H
#define CVLHOST_RELAYSERVER_H

#include "cvlhost/FrameKind.h"
#include "cvlhost/StreamState.h"

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <memory>

class EvfFrame;

namespace cvl::host {

class RelayServer {
public:
    // More readers than this are refused.
    static constexpr int kMaxReaders = 32;

    // Serves listenFd (a listening, non-blocking socket the caller keeps
    // open until the server is destroyed).
    explicit RelayServer(int listenFd);
    // Disconnects every reader and joins the thread.
    ~RelayServer();

    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // The newest frame and state; readers get it next.
    void Offer(std::shared_ptr<const EvfFrame> frame, FrameKind kind, StreamState state);
    // Readers connected now.
    int Readers();

private:
    struct Offered {
        std::shared_ptr<const EvfFrame> frame;
        FrameKind kind = FrameKind::Error;
        StreamState state = StreamState::Waiting;
        uint64_t sequence = 0;
    };

    static void* Thread(void* server);
    void Run();
    void Wake();

    int m_listenFd;
    int m_wake[2] = {-1, -1};
    pthread_t m_thread;
    bool m_threadStarted = false;

    // Guards everything below.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_keepRunning = true;
    Offered m_offered;
    int m_readers = 0;
};

} // namespace cvl::host

#endif
