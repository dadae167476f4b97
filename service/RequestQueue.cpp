#include "RequestQueue.h"

bool RequestQueue::Add(std::string request, long process) {
    const std::string sender = SenderOf(request);
    const std::string key =
        process >= 0 ? "process " + std::to_string(process) : "sender " + sender;
    auto found = m_byKey.find(key);
    LineList::iterator line;
    if (found != m_byKey.end()) {
        line = found->second;
    } else {
        line = m_lines.insert(m_lines.end(), Line{key, {}, {}});
        m_byKey.emplace(key, line);
    }
    line->requests.push_back(std::move(request));
    ++line->perSender[sender];
    ++m_size;

    if (line->requests.size() > kMaxPerLine) {
        DropFrom(line);
        return false;
    }
    if (m_size > kMaxRequests) {
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

std::string RequestQueue::Take() {
    if (m_lines.empty())
        return std::string();
    const LineList::iterator line = m_lines.begin();
    std::string request = std::move(line->requests.front());
    line->requests.pop_front();
    Forget(*line, request);
    if (line->requests.empty()) {
        m_byKey.erase(line->key);
        m_lines.erase(line);
    } else {
        m_lines.splice(m_lines.end(), m_lines, line);
    }
    return request;
}

std::string RequestQueue::SenderOf(const std::string& request) {
    return request.substr(0, request.find('_'));
}

void RequestQueue::DropFrom(LineList::iterator line) {
    std::deque<std::string>& requests = line->requests;
    auto victim = requests.begin();
    for (auto it = requests.begin(); it != requests.end(); ++it) {
        if (line->perSender[SenderOf(*it)] > 1) {
            victim = it;
            break;
        }
    }
    const std::string dropped = std::move(*victim);
    requests.erase(victim);
    Forget(*line, dropped);
    if (requests.empty()) {
        m_byKey.erase(line->key);
        m_lines.erase(line);
    }
}

void RequestQueue::Forget(Line& line, const std::string& request) {
    --m_size;
    auto count = line.perSender.find(SenderOf(request));
    if (count != line.perSender.end() && --count->second == 0)
        line.perSender.erase(count);
}
