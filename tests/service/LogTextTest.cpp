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

TEST(LogText, C1ControlsAndUnicodeLineSeparatorsAreEscapedAndOtherUtf8Stays) {
    // Raw C1 bytes outside any UTF-8 sequence: next line, control sequence
    // introducer.
    EXPECT_EQ(LoggableText("a\x85"
                           "b\x9B"
                           "31m"),
              "a\\x85b\\x9B31m");
    EXPECT_EQ(LoggableText("\x80\x9F\xA0\xFF"), "\\x80\\x9F\xA0\xFF");
    // U+0085, U+009B, U+2028 and U+2029 in UTF-8: every byte escaped.
    EXPECT_EQ(LoggableText("a\xC2\x85"
                           "b\xC2\x9B"
                           "c"),
              "a\\xC2\\x85b\\xC2\\x9Bc");
    EXPECT_EQ(LoggableText("a\xE2\x80\xA8"
                           "b\xE2\x80\xA9"
                           "c"),
              "a\\xE2\\x80\\xA8b\\xE2\\x80\\xA9c");
    // Characters whose encodings hold such bytes as continuation bytes stay
    // whole: U+00C5, U+0101, U+2026, U+1F600.
    const std::string text = "\xC3\x85\xC4\x81\xE2\x80\xA6\xF0\x9F\x98\x80";
    EXPECT_EQ(LoggableText(text), text);
    // A lead byte whose sequence is broken stands for itself; the byte after
    // it is judged on its own.
    EXPECT_EQ(LoggableText("\xC2"
                           "a\xE2\x80"),
              "\xC2"
              "a\xE2\\x80");
    // An overlong form of U+2028 is no sequence: its C1 bytes are escaped.
    EXPECT_EQ(LoggableText("\xE0\x80\xA8"), "\xE0\\x80\xA8");
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
