// The service process: probes the host for sandbox mode, initialises the
// camera SDK, runs the camera controller until SIGTERM or a "Close" request,
// and takes everything down again in order.
#include "CameraController.h"
#include "Logger.h"

#include <CoreFoundation/CoreFoundation.h>
#include <ZelSDK/ZelSDK.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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
// thread logs the termination and sets the app-closing flag for it.
volatile sig_atomic_t g_terminationSignalled = 0;
bool g_terminationNoted = false;

constexpr useconds_t kMainLoopMicroseconds = 10000;

void term_handler(int) {
    g_terminationSignalled = 1;
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

} // namespace

// Everything the command writes to its standard output; its standard error
// is not read.
std::string exec(const char* command) {
    std::string result;
    FILE* pipe = popen(command, "r");
    if (!pipe) {
        g_logger.Log("error opening pipe");
        return result;
    }
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe))
        result += buffer;
    if (ferror(pipe))
        g_logger.Log("error reading pipe");
    pclose(pipe);
    return result;
}

// Sandboxed hosts are served automatically where the system's protection is
// off, or on the one system release that needs it regardless.
bool EnableSandboxMode() {
    const std::string status = exec("csrutil status");
    g_logger.Log(status);
    if (status.find("disabled") != std::string::npos) {
        g_logger.Log("SIP is disabled");
        g_logger.Log("sandbox mode enabled");
        return true;
    }
    const std::string version = exec("sw_vers");
    g_logger.Log(version);
    if (version.find("10.13") != std::string::npos) {
        g_logger.Log("running High Sierra");
        g_logger.Log("sandbox mode enabled");
        return true;
    }
    g_logger.Log("sandbox mode disabled");
    return false;
}

int main() {
    signal(SIGTERM, term_handler);
    const bool sandboxMode = EnableSandboxMode();
    NoteTermination();

    if (ZelInitializeSDK() != 0) {
        g_logger.Log("unable to initialize zelsdk");
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
    g_logger.Log("zelsdk uninitialized");
    g_logger.Log("cvl service done");
    return 0;
}
