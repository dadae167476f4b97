// libgphoto2 writes to sockets with write(): a camera that went away would
// kill the whole process with SIGPIPE. Around every call into the library the
// calling thread blocks SIGPIPE, and a SIGPIPE raised meanwhile is taken off
// the thread's pending set before the old mask comes back, so the write
// fails with EPIPE instead.
#ifndef ZELSDK_GPHOTO2_SIGPIPEGUARD_H
#define ZELSDK_GPHOTO2_SIGPIPEGUARD_H

#include <signal.h>

namespace zelgp {

class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_old;
    bool m_wasBlocked = false;
};

} // namespace zelgp

#endif
