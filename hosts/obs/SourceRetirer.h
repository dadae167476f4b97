// Ends sources off OBS's threads. A source's end leaves the service's
// stream, which can wait for a hanging service (about 2 s at most), and OBS
// destroys sources on its own threads; so each goes on a thread of its own,
// and the module waits for them all before it is unloaded, so that no code
// of it runs after.
#ifndef CVL_HOSTS_OBS_SOURCERETIRER_H
#define CVL_HOSTS_OBS_SOURCERETIRER_H

#include <pthread.h>

#include <list>

namespace cvl::obs {

class CameraSource;

class SourceRetirer {
public:
    // The module's one retirer.
    static SourceRetirer& Instance();

    // Deletes source on a thread of its own (here, when none can be started).
    void Retire(CameraSource* source);
    // Waits until every source handed over is deleted.
    void WaitForAll();

private:
    struct Retiring {
        pthread_t thread;
        CameraSource* source = nullptr;
        bool done = false;
    };

    static void* Thread(void* retiring);
    // Joins the threads that are done; called with m_mutex held.
    void ReapDone();

    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_changed = PTHREAD_COND_INITIALIZER;
    std::list<Retiring> m_retiring;
};

} // namespace cvl::obs

#endif
