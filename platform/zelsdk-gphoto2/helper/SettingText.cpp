#include "SettingText.h"

#include <ZelSDK/ZelSDK.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelgp {

namespace {

std::string Lower(const std::string& text) {
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t first = lower.find_first_not_of(' ');
    const size_t last = lower.find_last_not_of(' ');
    return first == std::string::npos ? "" : lower.substr(first, last - first + 1);
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// A decimal number that fills the text up to an optional unit suffix.
bool Number(const std::string& text, double& number) {
    if (text.empty())
        return false;
    char* end = nullptr;
    number = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(number))
        return false;
    return *end == '\0';
}

bool Unsigned(const std::string& text, uint32_t& value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
    if (*end != '\0' || number > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(number);
    return true;
}

// Seconds as the fraction a person writes: 1/60 rather than 0.0167 (PTP
// gives exposure times in tenths of milliseconds), whole seconds, and tenths
// for the rest (0.3, 2.5).
bool ShutterOfSeconds(double seconds, uint32_t& value) {
    if (!(seconds > 0) || seconds > 65535)
        return false;
    if (seconds < 1) {
        const double denominator = 1 / seconds;
        const double whole = std::round(denominator);
        if (whole <= 65535 && std::fabs(denominator - whole) / whole < 0.03) {
            value = ZEL_SHUTTER(1, static_cast<uint32_t>(whole));
            return true;
        }
    }
    if (std::fabs(seconds - std::round(seconds)) < 0.05) {
        value = ZEL_SHUTTER(static_cast<uint32_t>(std::round(seconds)), 1);
        return true;
    }
    const double tenths = std::round(seconds * 10);
    if (tenths < 1 || tenths > 65535)
        return false;
    value = ZEL_SHUTTER(static_cast<uint32_t>(tenths), 10);
    return true;
}

bool Shutter(const std::string& text, uint32_t& value) {
    std::string plain = text;
    while (!plain.empty() && (plain.back() == 's' || plain.back() == '"'))
        plain.pop_back();
    const size_t slash = plain.find('/');
    if (slash != std::string::npos) {
        uint32_t numerator = 0, denominator = 0;
        if (!Unsigned(plain.substr(0, slash), numerator) ||
            !Unsigned(plain.substr(slash + 1), denominator) || numerator == 0 || denominator == 0 ||
            numerator > 0xFFFF || denominator > 0xFFFF)
            return false;
        value = ZEL_SHUTTER(numerator, denominator);
        return true;
    }
    double seconds = 0;
    return Number(plain, seconds) && ShutterOfSeconds(seconds, value);
}

// Thousandths of a stop: cameras step in thirds or halves, and print thirds
// rounded (1.3, 1.333, 1.333333), which all mean 4/3.
bool Compensation(double stops, uint32_t& value) {
    if (std::fabs(stops) > 100)
        return false;
    double thousandths = stops * 1000;
    const double thirds = std::round(stops * 3);
    if (std::fabs(stops * 2 - std::round(stops * 2)) > 0.001 &&
        std::fabs(stops - thirds / 3) <= 0.05)
        thousandths = thirds * 1000 / 3;
    value = static_cast<uint32_t>(static_cast<int32_t>(std::lround(thousandths)));
    return true;
}

bool WhiteBalance(const std::string& text, uint32_t& value) {
    static const std::pair<const char*, uint32_t> names[] = {
        {"auto", ZEL_WB_AUTO},
        {"automatic", ZEL_WB_AUTO},
        {"awb", ZEL_WB_AUTO},
        {"daylight", ZEL_WB_DAYLIGHT},
        {"sunny", ZEL_WB_DAYLIGHT},
        {"fine weather", ZEL_WB_DAYLIGHT},
        {"cloudy", ZEL_WB_CLOUDY},
        {"overcast", ZEL_WB_CLOUDY},
        {"tungsten", ZEL_WB_TUNGSTEN},
        {"incandescent", ZEL_WB_TUNGSTEN},
        {"fluorescent", ZEL_WB_FLUORESCENT},
        {"flash", ZEL_WB_FLASH},
        {"strobe", ZEL_WB_FLASH},
        {"shade", ZEL_WB_SHADE},
    };
    for (const auto& [name, wb] : names)
        if (text == name) {
            value = wb;
            return true;
        }
    // The kinds of fluorescent light some bodies list ("Fluorescent: Warm
    // White") are all fluorescent.
    if (StartsWith(text, "fluorescent")) {
        value = ZEL_WB_FLUORESCENT;
        return true;
    }
    return false;
}

bool Size(const std::string& text, uint32_t& value) {
    static const std::pair<const char*, uint32_t> names[] = {
        {"qvga", ZEL_SIZE(320, 240)},
        {"vga", ZEL_SIZE(640, 480)},
        {"svga", ZEL_SIZE(800, 600)},
        {"xga", ZEL_SIZE(1024, 768)},
    };
    for (const auto& [name, size] : names)
        if (text == name) {
            value = size;
            return true;
        }
    // "1024x768", and "1920x1080 30 60HZ" with the rate after the size.
    char* end = nullptr;
    const unsigned long width = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != 'x')
        return false;
    const char* heightText = end + 1;
    const unsigned long height = std::strtoul(heightText, &end, 10);
    if (end == heightText || (*end != '\0' && *end != ' ') || width == 0 || height == 0 ||
        width > 0xFFFF || height > 0xFFFF)
        return false;
    value = ZEL_SIZE(width, height);
    return true;
}

} // namespace

bool ValueOfText(uint32_t property, const std::string& text, uint32_t& value) {
    std::string lower = Lower(text);
    double number = 0;
    switch (property) {
    case ZEL_PROP_ISO:
        if (StartsWith(lower, "auto") || lower == "iso auto") {
            value = ZEL_ISO_AUTO;
            return true;
        }
        if (StartsWith(lower, "iso "))
            lower = lower.substr(4);
        return Unsigned(lower, value) && value != ZEL_ISO_AUTO;
    case ZEL_PROP_APERTURE:
        if (StartsWith(lower, "f/"))
            lower = lower.substr(2);
        else if (StartsWith(lower, "f"))
            lower = lower.substr(1);
        return Number(lower, number) && ValueOfNumber(property, static_cast<float>(number), value);
    case ZEL_PROP_SHUTTER_SPEED:
        return Shutter(lower, value);
    case ZEL_PROP_EXPOSURE_COMPENSATION:
        return Number(lower, number) && Compensation(number, value);
    case ZEL_PROP_WHITE_BALANCE:
        return WhiteBalance(lower, value);
    case ZEL_PROP_EVF_SIZE:
        return Size(lower, value);
    case ZEL_PROP_EVF_ZOOM:
        if (!lower.empty() && lower.back() == 'x')
            lower.pop_back();
        return Unsigned(lower, value) && value >= 1;
    default:
        return false;
    }
}

bool ValueOfNumber(uint32_t property, float number, uint32_t& value) {
    switch (property) {
    case ZEL_PROP_ISO:
    case ZEL_PROP_EVF_ZOOM:
        if (!(number >= 0) || number > 0xFFFFFF)
            return false;
        value = static_cast<uint32_t>(std::lround(number));
        return property == ZEL_PROP_ISO || value >= 1;
    case ZEL_PROP_APERTURE:
        if (!(number > 0) || number > 1000)
            return false;
        value = static_cast<uint32_t>(std::lround(number * 10));
        return true;
    case ZEL_PROP_SHUTTER_SPEED:
        return ShutterOfSeconds(number, value);
    case ZEL_PROP_EXPOSURE_COMPENSATION:
        return Compensation(number, value);
    default:
        return false;
    }
}

float NumberOfValue(uint32_t property, uint32_t value) {
    switch (property) {
    case ZEL_PROP_APERTURE:
        return static_cast<float>(value) / 10;
    case ZEL_PROP_SHUTTER_SPEED:
        return ZEL_SHUTTER_DENOMINATOR(value) == 0
                   ? 0
                   : static_cast<float>(ZEL_SHUTTER_NUMERATOR(value)) /
                         static_cast<float>(ZEL_SHUTTER_DENOMINATOR(value));
    case ZEL_PROP_EXPOSURE_COMPENSATION:
        return static_cast<float>(static_cast<int32_t>(value)) / 1000;
    default:
        return static_cast<float>(value);
    }
}

std::string TextOfValue(uint32_t property, uint32_t value) {
    char text[32];
    switch (property) {
    case ZEL_PROP_SHUTTER_SPEED:
        if (ZEL_SHUTTER_DENOMINATOR(value) == 1)
            std::snprintf(text, sizeof text, "%u", ZEL_SHUTTER_NUMERATOR(value));
        else
            std::snprintf(text, sizeof text, "%u/%u", ZEL_SHUTTER_NUMERATOR(value),
                          ZEL_SHUTTER_DENOMINATOR(value));
        return text;
    case ZEL_PROP_EVF_SIZE:
        std::snprintf(text, sizeof text, "%ux%u", ZEL_SIZE_WIDTH(value), ZEL_SIZE_HEIGHT(value));
        return text;
    case ZEL_PROP_APERTURE:
    case ZEL_PROP_EXPOSURE_COMPENSATION:
        std::snprintf(text, sizeof text, "%g", static_cast<double>(NumberOfValue(property, value)));
        return text;
    default:
        return std::to_string(value);
    }
}

} // namespace zelgp
