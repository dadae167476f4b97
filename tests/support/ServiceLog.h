// Reading the service log of the test's installation: its messages without
// their time stamps, for tests that check what the service wrote.
#ifndef CVL_TESTS_SUPPORT_SERVICELOG_H
#define CVL_TESTS_SUPPORT_SERVICELOG_H

#include <chrono>
#include <string>
#include <vector>

namespace cvl::test {

// The log's messages in order; an entry of several lines (a probe command's
// output) stays several messages, the later ones without a stamp.
std::vector<std::string> LogMessages();
// How many messages equal message exactly.
int CountLogMessages(const std::string& message);
// Until at least count messages equal message; the default bound covers two
// of the service's 3 s periodic checks on a loaded machine.
bool WaitForLogMessage(const std::string& message, int count = 1,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
// The index of the first message equal to text at or after from, or -1.
int FindLogMessage(const std::vector<std::string>& messages, const std::string& text, int from = 0);

} // namespace cvl::test

#endif
