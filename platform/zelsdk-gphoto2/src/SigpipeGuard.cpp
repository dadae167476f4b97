#include "SigpipeGuard.h"

#include <pthread.h>
#include <time.h>

namespace zelgp {

SigpipeGuard::SigpipeGuard() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &m_old);
    m_wasBlocked = sigismember(&m_old, SIGPIPE) == 1;
}

SigpipeGuard::~SigpipeGuard() {
    if (m_wasBlocked)
        return;
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec none = {0, 0};
        sigtimedwait(&pipe, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}

} // namespace zelgp
