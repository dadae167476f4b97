#include "Logger.h"

#include "CVLPaths.h"

Logger::Logger() : m_timeStamp(), m_pTime(nullptr), m_time(0), m_timeParts() {
    // std::ios::out without app: created when missing, truncated otherwise.
    // A failed open leaves the stream failed and every write a no-op.
    m_stream.open(CVLResolvePath(CVL_PATH_LOG), std::ios::out);
}

Logger::~Logger() {
    m_stream.close();
}

void Logger::Log(std::string message) {
    pthread_mutex_lock(&m_lineMutex);
    m_time = time(nullptr);
    m_pTime = gmtime_r(&m_time, &m_timeParts);
    if (!m_pTime || strftime(m_timeStamp, sizeof m_timeStamp, "%Y-%m-%d %H:%M:%S", m_pTime) == 0)
        m_timeStamp[0] = '\0';
    m_stream << m_timeStamp << " ";
    m_stream.write(message.data(), static_cast<std::streamsize>(message.size()));
    m_stream << std::endl;
    m_stream.flush();
    pthread_mutex_unlock(&m_lineMutex);
}
