// Where the host processes of one user and installation meet to share the
// service's one client stream: a folder of the user's own (mode 0700) in the
// runtime folder, named after the installation, holding a lock file and the
// relay socket. Whoever holds the lock owns the stream and serves the socket;
// the others connect to it. The lock goes with its holder, also when the
// holder dies, so exactly one of the others takes over.
#ifndef CVLHOST_RELAYPLACE_H
#define CVLHOST_RELAYPLACE_H

#include <string>

namespace cvl::host {

class RelayPlace {
public:
    // Makes the folder when it is missing; refuses one that is not the
    // user's own or is open to others (then Usable is false).
    RelayPlace();
    // Gives up ownership when it is held.
    ~RelayPlace();

    RelayPlace(const RelayPlace&) = delete;
    RelayPlace& operator=(const RelayPlace&) = delete;

    // False when CVL_HOST_RELAY is "0": every process is a client of its own.
    static bool Enabled();
    // True when the folder is safe and the socket's path fits.
    bool Usable() const { return m_usable; }
    const std::string& Folder() const { return m_folder; }
    const std::string& SocketPath() const { return m_socketPath; }
    const std::string& LockPath() const { return m_lockPath; }

    // Takes the lock when nobody holds it, then serves the socket (a stale
    // one of a dead owner is replaced). True when this process owns the
    // stream now; ListenFd is then the listening socket (non-blocking).
    bool TakeOwnership();
    int ListenFd() const { return m_listenFd; }
    // Stops serving, removes the socket while the lock is still held, then
    // lets the lock go.
    void GiveUp();

    // A connection to the owner, checked to be a process of this user; -1
    // when there is no owner serving.
    int Connect() const;

    // True when the process at the other end of fd runs as this user.
    static bool PeerIsThisUser(int fd);

private:
    bool m_usable = false;
    std::string m_folder;
    std::string m_socketPath;
    std::string m_lockPath;
    int m_lockFd = -1;
    int m_listenFd = -1;
};

} // namespace cvl::host

#endif
