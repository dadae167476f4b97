// The service process: probes the host for sandbox mode, initialises the
// camera SDK, runs the camera controller until SIGTERM or a "Close" request,
// and takes everything down again in order.
#include "CVLPaths.h"
#include "CameraController.h"
#include "HostProbe.h"
#include "Logger.h"

#include <CoreFoundation/CoreFoundation.h>
#include <ZelSDK/ZelSDK.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace {
void term_handler(int);

// Built first of all, before the log is opened and truncated: a SIGTERM that
// comes that early already finds its handler, and a write to a closed pipe
// (standard error included) fails with an error instead of ending the
// process.
struct EarlySignals {
    EarlySignals() {
        signal(SIGTERM, term_handler);
        signal(SIGPIPE, SIG_IGN);
    }
} g_earlySignals;
} // namespace

// Built before main, so the log is open from the first line on, and closed
// at exit after every thread of the service has ended.
Logger g_logger;

namespace {

bool g_appClosing = false;
pthread_mutex_t g_appClosingMutex = PTHREAD_MUTEX_INITIALIZER;

// The signal handler only raises this flag: it may interrupt a thread that
// holds the logger's or the app-closing lock, so it takes neither. The main
// thread logs the termination and sets the app-closing flag for it. The
// handler may run on any thread, so the flag is a lock-free atomic.
std::atomic<int> g_terminationSignalled{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
bool g_terminationNoted = false;

constexpr useconds_t kMainLoopMicroseconds = 10000;

void term_handler(int) {
    g_terminationSignalled.store(1);
}

} // namespace

void SetAppClosing(bool closing) {
    pthread_mutex_lock(&g_appClosingMutex);
    g_appClosing = closing;
    pthread_mutex_unlock(&g_appClosingMutex);
}

bool GetAppClosing() {
    pthread_mutex_lock(&g_appClosingMutex);
    const bool closing = g_appClosing;
    pthread_mutex_unlock(&g_appClosingMutex);
    return closing;
}

namespace {

// Runs on the main thread: turns a received SIGTERM into its log line and
// the app-closing flag, once.
void NoteTermination() {
    if (!g_terminationSignalled || g_terminationNoted)
        return;
    g_terminationNoted = true;
    g_logger.Log("terminating cvl service..");
    SetAppClosing(true);
}

// The last chance for the line: SIGTERM is blocked on the main thread from
// here on, so one that comes later stays pending until the process ends
// rather than being taken without its line. Nothing but the main thread
// runs any more.
void NoteLastTermination() {
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &terminate, nullptr);
    NoteTermination();
}

} // namespace

int main() {
    // One service per installation: a second one started beside a running
    // one found the log in use and touched nothing. It ends before it runs
    // anything, so the running service's log, frame files and request port
    // stay as they are. Like every other way out of main it returns 0: the
    // line on standard error says why.
    if (g_logger.InUse()) {
        std::fprintf(stderr,
                     "CVLService: another service is running with this installation (its log "
                     "%s is in use); this one ends\n",
                     CVLResolvePath(CVL_PATH_LOG));
        return 0;
    }
    signal(SIGTERM, term_handler);
    const bool sandboxMode = EnableSandboxMode();
    NoteTermination();

    if (ZelInitializeSDK() != 0) {
        g_logger.Log("unable to initialize zelsdk");
        NoteLastTermination();
        g_logger.Log("cvl service done");
        return 0;
    }
    g_logger.Log("zelsdk initialized");
    g_logger.Log("starting camera controller..");
    {
        CameraController controller(sandboxMode);
        for (;;) {
            NoteTermination();
            if (GetAppClosing() || controller.Close())
                break;
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.0, false);
            usleep(kMainLoopMicroseconds);
        }
    }
    // A signal that came during the shutdown still gets its line.
    NoteTermination();
    ZelTerminateSDK();
    NoteTermination();
    g_logger.Log("zelsdk uninitialized");
    NoteLastTermination();
    g_logger.Log("cvl service done");
    return 0;
}
