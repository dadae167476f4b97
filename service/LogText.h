// Text from outside the service as its log lines show it.
#ifndef CVL_SERVICE_LOGTEXT_H
#define CVL_SERVICE_LOGTEXT_H

#include <cstddef>
#include <string>

// How much of a text from outside a log line shows.
constexpr size_t kMaxLoggedBytes = 256;

// text with every control character written as \xNN (a newline as \x0A), so
// that it can never start a line of its own, and the backslash as \\, so
// that an escaped byte and the same characters sent literally differ. At
// most kMaxLoggedBytes of text are shown, followed by "... (N bytes)" when
// it was longer. Printable text without a backslash within the bound comes
// out unchanged.
std::string LoggableText(const std::string& text);

#endif
