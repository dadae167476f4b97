// The simulator's control socket, which zelsim talks to: a Unix-domain
// stream socket per installation root (see ControlPath.h). A client sends
// one line of at most 4096 bytes ending in a newline and reads the reply
// until the socket closes. Clients are served one at a time on a thread of
// the server's own.
#ifndef ZELSDK_SRC_CONTROLSERVER_H
#define ZELSDK_SRC_CONTROLSERVER_H

#include <functional>
#include <string>
#include <thread>

namespace [[gnu::visibility("hidden")]] zelsdk {

class ControlServer {
public:
    // Answers one command line (without its newline) with the whole reply.
    using Handler = std::function<std::string(const std::string&)>;

    // Opens the socket and starts serving. Without a socket (no runtime
    // folder, or another live simulator serves the root already) the
    // simulator runs without control; the reason goes to standard error.
    void Start(Handler handler);
    // Stops serving, waiting for a command being answered, and removes the
    // socket. Called without the simulator's lock, which the handler takes.
    void Stop();

private:
    void Run();

    Handler m_handler;
    std::thread m_thread;
    int m_listenFd = -1;
    int m_wakePipe[2] = {-1, -1};
    std::string m_socketPath;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
