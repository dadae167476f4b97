// Text from outside the service as its log lines show it.
#ifndef CVL_SERVICE_LOGTEXT_H
#define CVL_SERVICE_LOGTEXT_H

#include <cstddef>
#include <string>

// How much of a text from outside a log line shows.
constexpr size_t kMaxLoggedBytes = 256;

// text with every control character written as \xNN a byte (a newline as
// \x0A), so that it can never start a line of its own for any reader, and the
// backslash as \\, so that an escaped byte and the same characters sent
// literally differ. Controls are the C0 ones, DEL, the C1 ones both as raw
// bytes 0x80 to 0x9F outside a well-formed UTF-8 sequence and as UTF-8
// (U+0080 to U+009F, U+0085 next line among them), and the line and
// paragraph separators U+2028 and U+2029. Other UTF-8 text, and bytes 0xA0
// and above outside a sequence, are shown as they are. At
// most kMaxLoggedBytes of text are shown, followed by "... (N bytes)" when
// it was longer. Printable text without a backslash within the bound comes
// out unchanged.
std::string LoggableText(const std::string& text);

#endif
