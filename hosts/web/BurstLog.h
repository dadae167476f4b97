// What cvl-web says about refused and dropped connections and about the
// HTTP library's complaints. A flood of connections or of malformed requests
// must not become a flood of lines: events are counted while they come, and
// each burst ends in one line with its totals once it has been quiet for a
// while (or has lasted a minute, for a flood that does not stop).
#ifndef CVL_HOSTS_WEB_BURSTLOG_H
#define CVL_HOSTS_WEB_BURSTLOG_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace cvl::web {

class BurstLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kQuiet{2};
    static constexpr std::chrono::seconds kLongest{60};

    // Writes to out (stderr in cvl-web), each line with the prefix.
    explicit BurstLog(std::FILE* out, std::string prefix = "cvl-web: ");
    ~BurstLog();
    BurstLog(const BurstLog&) = delete;
    BurstLog& operator=(const BurstLog&) = delete;

    // A connection refused (over a limit).
    void Refused(Clock::time_point now);
    // A connection closed because its request did not come in time, or to
    // make room for a newer one.
    void Dropped(Clock::time_point now);
    // A message of the HTTP library; the first of a burst is quoted.
    void Library(const std::string& message, Clock::time_point now);

    // Writes the burst's line when it has been quiet for kQuiet or has
    // lasted kLongest; call it now and then.
    void Tick(Clock::time_point now);
    // Writes the line of a burst still open.
    void Flush();

    // Lines written so far.
    uint64_t Lines() const;

private:
    void Begin(Clock::time_point now);
    void WriteLocked();

    std::FILE* m_out;
    std::string m_prefix;
    mutable std::mutex m_mutex;
    bool m_open = false;
    Clock::time_point m_first;
    Clock::time_point m_last;
    uint64_t m_refused = 0;
    uint64_t m_dropped = 0;
    uint64_t m_library = 0;
    std::string m_firstLibrary;
    uint64_t m_lines = 0;
};

} // namespace cvl::web

#endif
