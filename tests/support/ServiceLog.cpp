#include "ServiceLog.h"

#include "CVLPaths.h"
#include "TestSupport.h"

namespace cvl::test {

namespace {

// A log line is "YYYY-mm-dd HH:MM:SS " and the message.
constexpr size_t kStampLength = 20;

bool HasStamp(const std::string& line) {
    return line.size() >= kStampLength && line[4] == '-' && line[7] == '-' && line[13] == ':' &&
           line[16] == ':' && line[19] == ' ';
}

} // namespace

std::vector<std::string> LogMessages() {
    std::string text;
    ReadFile(CVLResolvePath(CVL_PATH_LOG), text);
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(text))
        messages.push_back(HasStamp(line) ? line.substr(kStampLength) : line);
    return messages;
}

int CountLogMessages(const std::string& message) {
    int count = 0;
    for (const std::string& logged : LogMessages())
        count += logged == message;
    return count;
}

bool WaitForLogMessage(const std::string& message, int count, std::chrono::milliseconds timeout) {
    return WaitFor([&] { return CountLogMessages(message) >= count; }, timeout);
}

int FindLogMessage(const std::vector<std::string>& messages, const std::string& text, int from) {
    for (size_t i = from < 0 ? 0 : static_cast<size_t>(from); i < messages.size(); ++i)
        if (messages[i] == text)
            return static_cast<int>(i);
    return -1;
}

} // namespace cvl::test
