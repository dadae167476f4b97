// The service log: one plain-text file, one line per message, stamped with
// the UTC time and flushed at once, written from any thread of the service.
//
// The file is truncated when the logger is built, so it holds only the
// current run, and locked for as long as the logger lives: a logger that
// finds the log locked by another process leaves it untouched, writes
// nothing and says so (InUse), which is how a second service knows that one
// already runs. It is made readable by this user alone, and a symbolic link
// in its place is never followed. When it cannot be opened (no resource
// folder, no permission, a link) the service runs on without a log and
// nothing is reported.
#ifndef CVL_SERVICE_LOGGER_H
#define CVL_SERVICE_LOGGER_H

#include <pthread.h>

#include <ctime>
#include <string>

class Logger {
public:
    Logger();
    ~Logger();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Writes "YYYY-mm-dd HH:MM:SS " (UTC), the message bytes unchanged and a
    // newline, as one line that never interleaves with another.
    void Log(std::string message);

    // Whether another process held the log when this logger was built.
    bool InUse() const { return m_inUse; }

private:
    // Scratch space of Log, valid only while m_lineMutex is held.
    char m_timeStamp[32];
    struct tm* m_pTime;
    time_t m_time;
    int m_file; // the open log file, -1 when it could not be opened
    pthread_mutex_t m_lineMutex = PTHREAD_MUTEX_INITIALIZER;
    struct tm m_timeParts; // storage behind m_pTime (gmtime_r, not gmtime's shared buffer)
    bool m_inUse = false;
};

// The one logger of the service, built before main and closed at exit.
extern Logger g_logger;

#endif
