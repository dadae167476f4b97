#include "BurstLog.h"

#include <utility>

namespace cvl::web {

namespace {

// A quoted message stays one short line whatever the library put in it.
std::string OneLine(const std::string& message) {
    constexpr size_t kMax = 160;
    std::string line;
    for (char c : message) {
        if (line.size() >= kMax) {
            line += "...";
            break;
        }
        if (c == '\n' || c == '\r')
            continue;
        line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    }
    return line;
}

} // namespace

BurstLog::BurstLog(std::FILE* out, std::string prefix) : m_out(out), m_prefix(std::move(prefix)) {}

BurstLog::~BurstLog() {
    Flush();
}

void BurstLog::Begin(Clock::time_point now) {
    if (!m_open) {
        m_open = true;
        m_first = now;
    }
    m_last = now;
}

void BurstLog::Refused(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Begin(now);
    ++m_refused;
}

void BurstLog::Dropped(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Begin(now);
    ++m_dropped;
}

void BurstLog::Library(const std::string& message, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Begin(now);
    if (m_library++ == 0)
        m_firstLibrary = OneLine(message);
}

void BurstLog::Tick(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_open && (now - m_last >= kQuiet || now - m_first >= kLongest))
        WriteLocked();
}

void BurstLog::Flush() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_open)
        WriteLocked();
}

uint64_t BurstLog::Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

void BurstLog::WriteLocked() {
    std::string line;
    const auto add = [&line](const std::string& part) {
        line += line.empty() ? part : ", " + part;
    };
    if (m_refused)
        add(std::to_string(m_refused) + " connection(s) refused (over a connection limit)");
    if (m_dropped)
        add(std::to_string(m_dropped) +
            " connection(s) closed (request headers too slow, or room made for newer ones)");
    if (m_library)
        add(std::to_string(m_library) + " HTTP library message(s), the first: " + m_firstLibrary);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_last - m_first).count();
    std::fprintf(m_out, "%s%s (within %lld s)\n", m_prefix.c_str(), line.c_str(),
                 static_cast<long long>(seconds));
    std::fflush(m_out);
    ++m_lines;
    m_open = false;
    m_refused = m_dropped = m_library = 0;
    m_firstLibrary.clear();
}

} // namespace cvl::web
