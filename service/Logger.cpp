#include "Logger.h"

#include "CVLPaths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

Logger::Logger() : m_timeStamp(), m_pTime(nullptr), m_time(0), m_file(-1), m_timeParts() {
    // Created when missing; never through a symbolic link, and for this
    // user's eyes only, also when an earlier run left the file readable by
    // others. A failed open leaves every write a no-op. A signal that comes
    // while the open waits (a fifo, a slow file system) must not cost the
    // log: the open is tried again.
    do {
        m_file = open(CVLResolvePath(CVL_PATH_LOG), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                      S_IRUSR | S_IWUSR);
    } while (m_file < 0 && errno == EINTR);
    if (m_file < 0)
        return;
    // The log belongs to one service at a time: the lock is held for the
    // whole run (the system lets it go when the process ends, however it
    // ends). Only its holder empties the file, so a second service started
    // beside a running one leaves that one's log as it is.
    int locked;
    do {
        locked = flock(m_file, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno == EWOULDBLOCK) {
        close(m_file);
        m_file = -1;
        m_inUse = true;
        return;
    }
    // Emptied only now that it is ours (a fifo cannot be; it is written all
    // the same).
    [[maybe_unused]] const int emptied = ftruncate(m_file, 0);
    struct stat st;
    if (fstat(m_file, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
        fchmod(m_file, S_IRUSR | S_IWUSR);
}

Logger::~Logger() {
    if (m_file >= 0)
        close(m_file);
    m_file = -1;
}

void Logger::Log(std::string message) {
    pthread_mutex_lock(&m_lineMutex);
    m_time = time(nullptr);
    m_pTime = gmtime_r(&m_time, &m_timeParts);
    if (!m_pTime || strftime(m_timeStamp, sizeof m_timeStamp, "%Y-%m-%d %H:%M:%S", m_pTime) == 0)
        m_timeStamp[0] = '\0';
    // The whole line in one write where the system takes it, so it reaches
    // the file before Log returns.
    char blank[] = " ";
    char newline[] = "\n";
    iovec parts[4] = {{m_timeStamp, strlen(m_timeStamp)},
                      {blank, 1},
                      {message.data(), message.size()},
                      {newline, 1}};
    iovec* next = parts;
    int left = 4;
    while (m_file >= 0 && left > 0) {
        const ssize_t written = writev(m_file, next, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        size_t done = static_cast<size_t>(written);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    pthread_mutex_unlock(&m_lineMutex);
}
