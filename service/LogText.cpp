#include "LogText.h"

#include <algorithm>

std::string LoggableText(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    const size_t end = std::min(text.size(), kMaxLoggedBytes);
    for (size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            shown += "\\x";
            shown += kHex[c >> 4];
            shown += kHex[c & 15];
        } else if (c == '\\') {
            shown += "\\\\";
        } else {
            shown += static_cast<char>(c);
        }
    }
    if (end < text.size())
        shown += "... (" + std::to_string(text.size()) + " bytes)";
    return shown;
}
