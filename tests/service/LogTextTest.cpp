#include "LogText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogText, ControlBytesAndTheBackslashAreEscapedSoTheyCannotBeMistaken) {
    // What the client library sends comes out byte for byte.
    EXPECT_EQ(LoggableText("plugin fps: 29.97"), "plugin fps: 29.97");
    EXPECT_EQ(LoggableText("12345"), "12345");
    EXPECT_EQ(LoggableText("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(LoggableText(""), "");
    // A newline and the four characters "\x0A" differ once logged.
    EXPECT_EQ(LoggableText("a\nb"), "a\\x0Ab");
    EXPECT_EQ(LoggableText("a\\x0Ab"), "a\\\\x0Ab");
    EXPECT_EQ(LoggableText(std::string("\0\r\x1F\x7F", 4)), "\\x00\\x0D\\x1F\\x7F");
}

TEST(LogText, LongTextIsCutAtTheBoundAndSaysItsLength) {
    EXPECT_EQ(LoggableText(std::string(kMaxLoggedBytes, 'a')), std::string(kMaxLoggedBytes, 'a'));
    EXPECT_EQ(LoggableText(std::string(kMaxLoggedBytes + 1, 'a')),
              std::string(kMaxLoggedBytes, 'a') + "... (257 bytes)");
    // The bound counts the text's bytes, not what their escapes take.
    const std::string shown = LoggableText(std::string(1000, '\n'));
    EXPECT_EQ(shown.size(), 4 * kMaxLoggedBytes + std::string("... (1000 bytes)").size());
}

} // namespace
