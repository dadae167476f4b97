#include "LogText.h"

#include <algorithm>

namespace {

// The length of the well-formed UTF-8 sequence at text[i] (before end), and
// its code point; 0 when the byte there starts none.
size_t Utf8Sequence(const std::string& text, size_t i, size_t end, char32_t& codePoint) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (end - i < length)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[i + k]);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF))
            return 0;
        codePoint = (codePoint << 6) | (c & 0x3F);
    }
    return length;
}

// Characters that end or steer a line for some reader of the log: C0 and C1
// controls, DEL, and the Unicode line and paragraph separators.
bool IsControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

void AppendEscaped(std::string& shown, unsigned char c) {
    static const char kHex[] = "0123456789ABCDEF";
    shown += "\\x";
    shown += kHex[c >> 4];
    shown += kHex[c & 15];
}

} // namespace

std::string LoggableText(const std::string& text) {
    std::string shown;
    const size_t end = std::min(text.size(), kMaxLoggedBytes);
    for (size_t i = 0; i < end;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t codePoint = c;
        size_t length = c < 0x80 ? 1 : Utf8Sequence(text, i, end, codePoint);
        // A byte that starts no well-formed sequence stands for itself, as a
        // reader that takes bytes for characters sees it (0x85 next line,
        // 0x9B control sequence introducer).
        if (length == 0) {
            length = 1;
            codePoint = c;
        }
        if (IsControl(codePoint)) {
            for (size_t k = 0; k < length; ++k)
                AppendEscaped(shown, static_cast<unsigned char>(text[i + k]));
        } else if (c == '\\') {
            shown += "\\\\";
        } else {
            shown.append(text, i, length);
        }
        i += length;
    }
    if (end < text.size())
        shown += "... (" + std::to_string(text.size()) + " bytes)";
    return shown;
}
