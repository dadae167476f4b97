#include "RequestQueue.h"

#include <unordered_set>

namespace {

// The commands the controller acts on, numbered from 1; anything else is a
// note, which it only logs.
const char* const kCommands[] = {"StartStreaming", "StartStreamingSandboxMode", "StopStreaming",
                                 "Close"};

std::string SenderOf(const std::string& request) {
    return request.substr(0, request.find('_'));
}

} // namespace

RequestQueue::RequestQueue(size_t maxPerLine, size_t maxRequests)
    : m_maxPerLine(maxPerLine), m_maxRequests(maxRequests) {}

int RequestQueue::CommandOf(const std::string& request) {
    const size_t separator = request.find('_');
    const size_t start = separator == std::string::npos ? 0 : separator + 1;
    for (int i = 0; i < static_cast<int>(sizeof kCommands / sizeof kCommands[0]); ++i) {
        if (request.compare(start, std::string::npos, kCommands[i]) == 0)
            return i + 1;
    }
    return kNote;
}

bool RequestQueue::Add(std::string request, long process) {
    const std::string sender = SenderOf(request);
    const std::string key =
        process >= 0 ? "process " + std::to_string(process) : "sender " + sender;
    auto found = m_byKey.find(key);
    LineList::iterator line;
    if (found != m_byKey.end()) {
        line = found->second;
    } else {
        line = m_lines.insert(m_lines.end(), Line{key, process, {}, {}});
        m_byKey.emplace(key, line);
    }
    auto known = line->senders.find(sender);
    if (known == line->senders.end())
        known = line->senders.emplace(sender, Sender{line->nextSender++, 0}).first;
    ++known->second.waiting;
    const int command = CommandOf(request);
    line->requests.push_back(Request{std::move(request), known->second.number, command});
    ++m_size;

    if (line->requests.size() > m_maxPerLine) {
        DropFrom(line);
        return false;
    }
    if (m_size > m_maxRequests) {
        // The longest line gives way; the new request's own line on a tie.
        LineList::iterator longest = line;
        for (auto it = m_lines.begin(); it != m_lines.end(); ++it) {
            if (it->requests.size() > longest->requests.size())
                longest = it;
        }
        DropFrom(longest);
        return false;
    }
    return true;
}

std::string RequestQueue::Take(long* process) {
    if (m_lines.empty())
        return std::string();
    const LineList::iterator line = m_lines.begin();
    if (process)
        *process = line->process;
    const bool lineStays = line->requests.size() > 1;
    std::string request = Remove(line, 0);
    if (lineStays)
        m_lines.splice(m_lines.end(), m_lines, line);
    return request;
}

void RequestQueue::DropFrom(LineList::iterator line) {
    const std::deque<Request>& requests = line->requests;
    const size_t none = requests.size();
    size_t supersededNote = none;
    size_t supersededCommand = none;
    size_t note = none;
    // From the newest back: which senders, and which of their commands, have
    // a later request than the one looked at. What is found last is oldest.
    std::unordered_set<uint64_t> later;
    std::unordered_set<uint64_t> laterCommand;
    const uint64_t kinds = sizeof kCommands / sizeof kCommands[0] + 1;
    for (size_t i = requests.size(); i-- > 0;) {
        const Request& request = requests[i];
        const uint64_t senderCommand = request.sender * kinds + request.command;
        if (request.command == kNote) {
            note = i;
            if (later.count(request.sender))
                supersededNote = i;
        } else if (laterCommand.count(senderCommand)) {
            supersededCommand = i;
        }
        later.insert(request.sender);
        if (request.command != kNote)
            laterCommand.insert(senderCommand);
    }
    size_t victim = 0;
    if (supersededNote != none)
        victim = supersededNote;
    else if (supersededCommand != none)
        victim = supersededCommand;
    else if (note != none)
        victim = note;
    Remove(line, victim);
}

std::string RequestQueue::Remove(LineList::iterator line, size_t index) {
    auto at = line->requests.begin() + static_cast<std::ptrdiff_t>(index);
    auto sender = line->senders.find(SenderOf(at->text));
    if (sender != line->senders.end() && --sender->second.waiting == 0)
        line->senders.erase(sender);
    std::string text = std::move(at->text);
    line->requests.erase(at);
    --m_size;
    if (line->requests.empty()) {
        m_byKey.erase(line->key);
        m_lines.erase(line);
    }
    return text;
}
