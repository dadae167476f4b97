// The requests waiting for the camera controller, shared fairly between the
// processes that sent them.
//
// Each process has a line of its own, in the order its requests came. The
// controller takes the oldest request of the line whose turn it is; lines
// take turns in the order in which they came to have requests waiting, so
// while no process has more than one request waiting this is plain arrival
// order, and a process that sends faster than the controller takes delays
// any other process by at most one request per line ahead of it.
//
// A process is told by the identifier the platform gives for the sender of
// a message, which it cannot choose; when none is known, by the sender
// identifier of the request text.
//
// Memory is bounded: a line holds at most kMaxPerLine requests and the
// queue kMaxRequests. A request that overfills its line makes room in that
// line: the oldest one that a later request of the same sender identifier
// follows goes, else the line's oldest. A request that overfills the queue
// makes room in the longest line the same way. So the newest request of a
// process is never dropped while its line holds more than one, and never for
// another process's requests, except when every line holds one.
//
// Not thread-safe: the controller guards it with its request lock.
#ifndef CVL_SERVICE_REQUESTQUEUE_H
#define CVL_SERVICE_REQUESTQUEUE_H

#include <cstddef>
#include <deque>
#include <list>
#include <map>
#include <string>

class RequestQueue {
public:
    static constexpr size_t kMaxPerLine = 256;
    static constexpr size_t kMaxRequests = 1024;

    // Adds request from process (-1: not known). False when a request was
    // dropped to make room (possibly this one).
    bool Add(std::string request, long process);
    // Removes and returns the next request in turn, or the empty text.
    std::string Take();
    size_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }

private:
    struct Line {
        std::string key;
        std::deque<std::string> requests;
        // How many of the requests carry each sender identifier.
        std::map<std::string, size_t> perSender;
    };
    using LineList = std::list<Line>;

    static std::string SenderOf(const std::string& request);
    // Drops one request of line, never its newest unless it is the only one.
    void DropFrom(LineList::iterator line);
    void Forget(Line& line, const std::string& request);

    LineList m_lines; // lines with requests, in turn order
    std::map<std::string, LineList::iterator> m_byKey;
    size_t m_size = 0;
};

#endif
