#include "CallLog.h"

namespace zelsdk {

namespace {
constexpr size_t kLimit = 100000;
} // namespace

void CallLog::Record(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
    if (m_lines.size() > kLimit)
        m_lines.pop_front();
}

std::string CallLog::Text(bool clear) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const std::string& line : m_lines)
        out += line + "\n";
    if (clear)
        m_lines.clear();
    return out;
}

} // namespace zelsdk
