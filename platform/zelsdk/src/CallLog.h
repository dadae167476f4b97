// The list of SDK calls that zelsim calls prints: one line a call, in the
// order the calls took effect, the newest 100000 kept. It has a lock of its
// own, taken after the simulator's when both are held.
#ifndef ZELSDK_SRC_CALLLOG_H
#define ZELSDK_SRC_CALLLOG_H

#include <deque>
#include <mutex>
#include <string>

namespace [[gnu::visibility("hidden")]] zelsdk {

class CallLog {
public:
    void Record(const std::string& line);
    // Every line, each ending in a newline; clear empties the list in the
    // same step, so no call is lost between printing and clearing.
    std::string Text(bool clear);

private:
    std::mutex m_mutex;
    std::deque<std::string> m_lines;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
