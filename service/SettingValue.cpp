#include "SettingValue.h"

#include <ZelSDK/ZelSDK.h>

#include <cctype>
#include <cstdlib>

namespace {

struct SettingInfo {
    const char* name;
    uint32_t property;
};

constexpr SettingInfo kSettings[kSettingCount] = {
    {"iso", ZEL_PROP_ISO},
    {"aperture", ZEL_PROP_APERTURE},
    {"shutter-speed", ZEL_PROP_SHUTTER_SPEED},
    {"exposure-compensation", ZEL_PROP_EXPOSURE_COMPENSATION},
    {"white-balance", ZEL_PROP_WHITE_BALANCE},
    {"live-view-size", ZEL_PROP_EVF_SIZE},
    {"zoom", ZEL_PROP_EVF_ZOOM},
    {"zoom-position", ZEL_PROP_EVF_ZOOM_POSITION},
};

constexpr const char* kWhiteBalanceNames[] = {"auto",        "daylight", "cloudy", "tungsten",
                                              "fluorescent", "flash",    "shade"};
constexpr uint32_t kWhiteBalanceCount = sizeof kWhiteBalanceNames / sizeof kWhiteBalanceNames[0];

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// A whole number of at most 9 digits.
bool ParseWhole(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

// A decimal number with an optional sign ("+1.3", "-0.667", "5.6", ".5") in
// thousandths; more than three decimals are cut off.
bool ParseThousandths(const std::string& text, bool allowSign, int64_t& thousandths) {
    size_t at = 0;
    bool negative = false;
    if (allowSign && at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    const size_t dot = text.find('.', at);
    const std::string whole =
        text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
    const std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    if ((whole.empty() && fraction.empty()) || whole.size() > 6 ||
        whole.find_first_not_of("0123456789") != std::string::npos ||
        fraction.find_first_not_of("0123456789") != std::string::npos ||
        (dot != std::string::npos && fraction.empty()))
        return false;
    int64_t value = whole.empty() ? 0 : std::strtoll(whole.c_str(), nullptr, 10) * 1000;
    int64_t scale = 100;
    for (size_t i = 0; i < fraction.size() && scale > 0; ++i, scale /= 10)
        value += (fraction[i] - '0') * scale;
    thousandths = negative ? -value : value;
    return true;
}

// Thousandths written with as few decimals as they need: 500 "0.5", 1000 "1".
std::string FormatThousandths(int64_t thousandths) {
    std::string text = thousandths < 0 ? "-" : "";
    const int64_t magnitude = thousandths < 0 ? -thousandths : thousandths;
    text += std::to_string(magnitude / 1000);
    int64_t fraction = magnitude % 1000;
    if (fraction == 0)
        return text;
    std::string digits = std::to_string(fraction);
    digits.insert(0, 3 - digits.size(), '0');
    while (digits.back() == '0')
        digits.pop_back();
    return text + "." + digits;
}

// Exposure compensation to the nearest tenth of a stop, half away from 0.
int64_t Tenths(int32_t thousandths) {
    return thousandths < 0 ? -((-static_cast<int64_t>(thousandths) + 50) / 100)
                           : (static_cast<int64_t>(thousandths) + 50) / 100;
}

bool ParsePair(const std::string& text, char separator, std::string& first, std::string& second) {
    const size_t at = text.find(separator);
    if (at == std::string::npos)
        return false;
    first = text.substr(0, at);
    second = text.substr(at + 1);
    return true;
}

bool ParseShutter(const std::string& text, uint32_t& value) {
    std::string numerator;
    std::string denominator;
    uint32_t n = 0;
    uint32_t d = 0;
    if (ParsePair(text, '/', numerator, denominator)) {
        if (!ParseWhole(numerator, n) || !ParseWhole(denominator, d))
            return false;
    } else {
        // Seconds, whole or to a tenth: "30", "0.3", "2.5" (a trailing " or s
        // as some cameras print it is taken too).
        std::string seconds = text;
        if (!seconds.empty() && (seconds.back() == '"' || seconds.back() == 's'))
            seconds.pop_back();
        int64_t thousandths = 0;
        if (!ParseThousandths(seconds, false, thousandths) || thousandths % 100 != 0)
            return false;
        if (thousandths % 1000 == 0) {
            n = static_cast<uint32_t>(thousandths / 1000);
            d = 1;
        } else {
            n = static_cast<uint32_t>(thousandths / 100);
            d = 10;
        }
    }
    if (n == 0 || d == 0 || n > 0xFFFF || d > 0xFFFF)
        return false;
    value = ZEL_SHUTTER(n, d);
    return true;
}

std::string FormatShutter(uint32_t value) {
    const uint32_t n = ZEL_SHUTTER_NUMERATOR(value);
    const uint32_t d = ZEL_SHUTTER_DENOMINATOR(value);
    if (d == 1)
        return std::to_string(n);
    if (d == 10)
        return FormatThousandths(static_cast<int64_t>(n) * 100);
    return std::to_string(n) + "/" + std::to_string(d);
}

} // namespace

const char* SettingName(int id) {
    return id >= 0 && id < kSettingCount ? kSettings[id].name : "";
}

uint32_t SettingProperty(int id) {
    return id >= 0 && id < kSettingCount ? kSettings[id].property : 0;
}

int FindSetting(const std::string& name) {
    for (int id = 0; id < kSettingCount; ++id)
        if (name == kSettings[id].name)
            return id;
    return -1;
}

int FindSettingByProperty(uint32_t property) {
    for (int id = 0; id < kSettingCount; ++id)
        if (property == kSettings[id].property)
            return id;
    return -1;
}

std::string SettingNames() {
    std::string names;
    for (int id = 0; id < kSettingCount; ++id)
        names += std::string(id ? ", " : "") + kSettings[id].name;
    return names;
}

std::string FormatSettingValue(int id, uint32_t value) {
    switch (id) {
    case kSettingIso:
        return value == ZEL_ISO_AUTO ? "auto" : std::to_string(value);
    case kSettingAperture:
        return FormatThousandths(static_cast<int64_t>(value) * 100);
    case kSettingShutterSpeed:
        return FormatShutter(value);
    case kSettingExposureCompensation: {
        const int64_t tenths = Tenths(static_cast<int32_t>(value));
        if (tenths == 0)
            return "0";
        return (tenths > 0 ? "+" : "") + FormatThousandths(tenths * 100);
    }
    case kSettingWhiteBalance:
        return value < kWhiteBalanceCount ? kWhiteBalanceNames[value] : std::to_string(value);
    case kSettingLiveViewSize:
        return std::to_string(ZEL_SIZE_WIDTH(value)) + "x" + std::to_string(ZEL_SIZE_HEIGHT(value));
    case kSettingZoom:
        return std::to_string(value);
    case kSettingZoomPosition:
        return FormatThousandths(ZEL_POINT_X(value)) + "," + FormatThousandths(ZEL_POINT_Y(value));
    default:
        return std::to_string(value);
    }
}

bool ParseSettingValue(int id, const std::string& written, uint32_t& value) {
    const std::string text = Lower(written);
    std::string first;
    std::string second;
    switch (id) {
    case kSettingIso:
        if (text == "auto") {
            value = ZEL_ISO_AUTO;
            return true;
        }
        return ParseWhole(text, value) && value > 0;
    case kSettingAperture: {
        // "5.6", or "f/5.6" and "f5.6" as lenses are marked.
        std::string number = text;
        if (number.compare(0, 2, "f/") == 0)
            number.erase(0, 2);
        else if (!number.empty() && number[0] == 'f')
            number.erase(0, 1);
        int64_t thousandths = 0;
        if (!ParseThousandths(number, false, thousandths) || thousandths <= 0 ||
            thousandths % 100 != 0)
            return false;
        value = static_cast<uint32_t>(thousandths / 100);
        return true;
    }
    case kSettingShutterSpeed:
        return ParseShutter(text, value);
    case kSettingExposureCompensation: {
        int64_t thousandths = 0;
        if (!ParseThousandths(text, true, thousandths) || thousandths < -100000 ||
            thousandths > 100000)
            return false;
        value = static_cast<uint32_t>(static_cast<int32_t>(thousandths));
        return true;
    }
    case kSettingWhiteBalance:
        for (uint32_t i = 0; i < kWhiteBalanceCount; ++i) {
            if (text == kWhiteBalanceNames[i]) {
                value = i;
                return true;
            }
        }
        return false;
    case kSettingLiveViewSize: {
        uint32_t width = 0;
        uint32_t height = 0;
        if (!ParsePair(text, 'x', first, second) || !ParseWhole(first, width) ||
            !ParseWhole(second, height) || width == 0 || height == 0 || width > 0xFFFF ||
            height > 0xFFFF)
            return false;
        value = ZEL_SIZE(width, height);
        return true;
    }
    case kSettingZoom: {
        std::string number = text;
        if (!number.empty() && number.back() == 'x')
            number.pop_back();
        return ParseWhole(number, value) && value > 0;
    }
    case kSettingZoomPosition: {
        int64_t x = 0;
        int64_t y = 0;
        if (!ParsePair(text, ',', first, second) || !ParseThousandths(first, false, x) ||
            !ParseThousandths(second, false, y) || x > 1000 || y > 1000)
            return false;
        value = ZEL_POINT(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
        return true;
    }
    default:
        return false;
    }
}

bool SettingValuesMatch(int id, uint32_t parsed, uint32_t cameraValue) {
    if (id == kSettingShutterSpeed)
        return static_cast<uint64_t>(ZEL_SHUTTER_NUMERATOR(parsed)) *
                   ZEL_SHUTTER_DENOMINATOR(cameraValue) ==
               static_cast<uint64_t>(ZEL_SHUTTER_NUMERATOR(cameraValue)) *
                   ZEL_SHUTTER_DENOMINATOR(parsed);
    if (id == kSettingExposureCompensation)
        return Tenths(static_cast<int32_t>(parsed)) == Tenths(static_cast<int32_t>(cameraValue));
    return parsed == cameraValue;
}
