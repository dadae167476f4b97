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
// Memory is bounded: a line holds at most maxPerLine requests and the queue
// maxRequests. A request that overfills its line makes room in that line;
// one that overfills the queue makes room in the longest line. What goes,
// the oldest first of the first kind that the line holds:
//   1. a note (a command the controller only logs) that a later request of
//      the same sender identifier follows;
//   2. a stream request or "Close" that a later one of the same sender
//      identifier and the same command follows;
//   3. a note;
//   4. the line's oldest request.
// So a client's last request, and its last request of each command, stay
// while it has no more than a few of them waiting (every well-behaved client
// has), however many notes follow; its stream requests go only for other
// stream requests of its own, or when a process keeps more identifiers
// waiting than a line holds.
//
// Not thread-safe: the owner guards it with a lock of its own.
#ifndef CVL_SERVICE_REQUESTQUEUE_H
#define CVL_SERVICE_REQUESTQUEUE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>

class RequestQueue {
public:
    static constexpr size_t kMaxPerLine = 256;
    static constexpr size_t kMaxRequests = 1024;
    // A request text longer than any a client sends; the owner drops it
    // before it reaches the queue.
    static constexpr size_t kMaxRequestBytes = 4096;

    explicit RequestQueue(size_t maxPerLine = kMaxPerLine, size_t maxRequests = kMaxRequests);

    // Adds request from process (-1: not known). False when a request was
    // dropped to make room (possibly this one).
    bool Add(std::string request, long process);
    // Removes and returns the next request in turn, or the empty text; with
    // process, also the process it came from.
    std::string Take(long* process = nullptr);
    size_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }

private:
    struct Request {
        std::string text;
        uint64_t sender; // the line's number for its sender identifier
        int command;     // kNote or the index of a command the controller acts on
    };
    struct Sender {
        uint64_t number;
        size_t waiting;
    };
    struct Line {
        std::string key;
        long process;
        std::deque<Request> requests;
        std::map<std::string, Sender> senders; // by sender identifier
        uint64_t nextSender = 0;
    };
    using LineList = std::list<Line>;

    static constexpr int kNote = 0;
    static int CommandOf(const std::string& request);
    // Drops one request of line by the order above.
    void DropFrom(LineList::iterator line);
    // Removes the request at index of line, and the line once it is empty;
    // returns its text.
    std::string Remove(LineList::iterator line, size_t index);

    const size_t m_maxPerLine;
    const size_t m_maxRequests;
    LineList m_lines; // lines with requests, in turn order
    std::map<std::string, LineList::iterator> m_byKey;
    size_t m_size = 0;
};

#endif
