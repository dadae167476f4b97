// The test programs' own g_logger and helpers to read what it wrote.
#ifndef CVL_TESTS_SERVICE_SERVICETESTLOGGER_H
#define CVL_TESTS_SERVICE_SERVICETESTLOGGER_H

#include <string>
#include <vector>

namespace cvl::test {

// The messages of the log file so far, without their time stamps.
std::vector<std::string> LogMessages();
// How many lines of the log hold exactly message.
int CountLogMessage(const std::string& message);

} // namespace cvl::test

#endif
