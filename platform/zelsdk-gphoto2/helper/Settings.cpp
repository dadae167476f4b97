#include "Settings.h"

#include "GphotoErrors.h"
#include "SettingText.h"
#include "Wire.h"

#include <gphoto2/gphoto2-result.h>
#include <gphoto2/gphoto2-widget.h>

#include <ZelSDK/ZelSDK.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zelgp {

namespace {

// libgphoto2's widget names, in the order tried: the names its ptp2 driver
// gives these settings on every maker's bodies that have them.
struct Names {
    uint32_t id;
    bool command;
    const char* names[3];
};

const Names kNames[] = {
    {ZEL_PROP_ISO, false, {"iso"}},
    {ZEL_PROP_APERTURE, false, {"f-number", "aperture"}},
    {ZEL_PROP_SHUTTER_SPEED, false, {"shutterspeed"}},
    {ZEL_PROP_EXPOSURE_COMPENSATION, false, {"exposurecompensation"}},
    {ZEL_PROP_WHITE_BALANCE, false, {"whitebalance"}},
    {ZEL_PROP_EVF_SIZE, false, {"liveviewsize"}},
    // Canon's live-view magnification, 1, 5 or 10.
    {ZEL_PROP_EVF_ZOOM, false, {"eoszoom"}},
    // Nikon, Canon and Fuji drive the autofocus with "autofocusdrive", Sony
    // bodies half press the shutter button with "autofocus".
    {ZEL_CMD_AUTOFOCUS, true, {"autofocusdrive", "autofocus"}},
    // "Near 1".."Far 3" choices (Canon, Olympus, Panasonic), or a signed
    // range of steps, negative towards near (Nikon, Sony's "manualfocus").
    {ZEL_CMD_DRIVE_FOCUS, true, {"manualfocusdrive", "manualfocus"}},
};

// The PTP standard's property codes, for an event whose text names no widget.
const std::pair<uint32_t, uint32_t> kStandardCodes[] = {
    {0x500F, ZEL_PROP_ISO},           {0x5007, ZEL_PROP_APERTURE},
    {0x500D, ZEL_PROP_SHUTTER_SPEED}, {0x5010, ZEL_PROP_EXPOSURE_COMPENSATION},
    {0x5005, ZEL_PROP_WHITE_BALANCE},
};

const uint32_t kCanonZoomSteps[] = {1, 5, 10};

// PTP's answers "device busy" and "access denied" (a property the body's
// mode keeps as it is).
constexpr unsigned kPtpDeviceBusy = 0x2019, kPtpAccessDenied = 0x200F;

// libgphoto2 keeps a property's description this long (its "cachetime",
// two seconds, counted in whole seconds).
constexpr auto kCacheTime = std::chrono::milliseconds(2500);
constexpr auto kRecentChange = std::chrono::seconds(5);
// A camera announces the host's own write within this time.
constexpr auto kEchoTime = std::chrono::seconds(3);

const Names* NamesOf(uint32_t id, bool command) {
    for (const Names& names : kNames)
        if (names.id == id && names.command == command)
            return &names;
    return nullptr;
}

std::string Lower(const char* text) {
    std::string lower;
    for (const char* c = text; *c; ++c)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    return lower;
}

} // namespace

// A widget of the camera's configuration, freed with it.
struct Settings::Found {
    Found() = default;
    ~Found() {
        if (widget)
            gp_widget_free(widget);
    }
    Found(const Found&) = delete;
    Found& operator=(const Found&) = delete;

    CameraWidget* widget = nullptr;
    const char* name = nullptr;
    CameraWidgetType type = GP_WIDGET_TEXT;
    // Shown, not changed: a setting the body's mode decides (the shutter
    // speed in an automatic mode).
    bool readonly = false;
};

bool Settings::IsSetting(uint32_t property) {
    return NamesOf(property, false) != nullptr || property == ZEL_PROP_EVF_ZOOM_POSITION;
}

bool Settings::IsCommand(uint32_t command) {
    return NamesOf(command, true) != nullptr;
}

uint32_t Settings::Error(int result, bool& lost) {
    // A plain GP_ERROR is also what a camera's refusal becomes: only the
    // unmistakable codes end the session.
    if (result < GP_OK && ConnectionLost(result) && result != GP_ERROR)
        lost = true;
    return MapError(result, Step::Setting);
}

uint32_t Settings::Find(uint32_t id, bool command, Found& found, bool& lost) {
    // The zoom position has no widget whose coordinates libgphoto2 explains
    // (Canon's "eoszoomposition" takes the body's own sensor coordinates).
    const Names* names = NamesOf(id, command);
    if (!names)
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    for (const char* name : names->names) {
        if (!name)
            break;
        CameraWidget* widget = nullptr;
        const int result = gp_camera_get_single_config(m_camera, name, &widget, m_context);
        if (result >= GP_OK && widget) {
            found.widget = widget;
            found.name = name;
            gp_widget_get_type(widget, &found.type);
            int readonly = 0;
            gp_widget_get_readonly(widget, &readonly);
            found.readonly = readonly != 0;
            return ZEL_ERR_OK;
        }
        if (widget)
            gp_widget_free(widget);
        // Not found is the driver's "bad parameters"; anything else is the
        // camera's answer.
        if (result < GP_OK && result != GP_ERROR_BAD_PARAMETERS && result != GP_ERROR_NOT_SUPPORTED)
            return Error(result, lost);
    }
    return ZEL_ERR_PROPERTY_UNAVAILABLE;
}

uint32_t Settings::Read(uint32_t property, const Found& found, uint32_t& value) {
    if (property == ZEL_PROP_EVF_ZOOM && found.type == GP_WIDGET_TEXT) {
        value = m_zoom;
        return ZEL_ERR_OK;
    }
    bool read = false;
    if (found.type == GP_WIDGET_RANGE) {
        float number = 0;
        read = gp_widget_get_value(found.widget, &number) >= GP_OK &&
               ValueOfNumber(property, number, value);
    } else if (found.type == GP_WIDGET_RADIO || found.type == GP_WIDGET_MENU ||
               found.type == GP_WIDGET_TEXT) {
        const char* text = nullptr;
        read = gp_widget_get_value(found.widget, &text) >= GP_OK && text &&
               ValueOfText(property, text, value);
    }
    // A value the SDK has no form for (a custom white balance, "Bulb").
    return read ? ZEL_ERR_OK : ZEL_ERR_PROPERTY_UNAVAILABLE;
}

uint32_t Settings::Write(Found& found, bool& lost) {
    if (found.readonly)
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    m_errors->messages.clear();
    int result = gp_camera_set_single_config(m_camera, found.name, found.widget, m_context);
    // "The property 'ISO Speed' / 0x500f was not set (0x2019: PTP Device
    // Busy)": the camera's answer, which the result no longer says.
    for (const std::string& message : m_errors->messages) {
        const size_t at = message.find("was not set (0x");
        const unsigned answer =
            at == std::string::npos
                ? 0
                : static_cast<unsigned>(std::strtoul(message.c_str() + at + 15, nullptr, 16));
        if (answer == kPtpDeviceBusy)
            result = GP_ERROR_CAMERA_BUSY;
        else if (answer == kPtpAccessDenied && result < GP_OK)
            result = GP_ERROR_NOT_SUPPORTED;
    }
    return Error(result, lost);
}

uint32_t Settings::Get(uint32_t property, uint32_t& value, bool& lost) {
    Found found;
    if (uint32_t e = Find(property, false, found, lost))
        return e;
    return Read(property, found, value);
}

uint32_t Settings::Describe(uint32_t property, std::vector<uint32_t>& values, bool& lost) {
    Found found;
    if (uint32_t e = Find(property, false, found, lost))
        return e;
    auto add = [&values](uint32_t value) {
        if (values.size() < kMaxAllowed &&
            std::find(values.begin(), values.end(), value) == values.end())
            values.push_back(value);
    };
    if (property == ZEL_PROP_EVF_ZOOM && found.type == GP_WIDGET_TEXT) {
        for (uint32_t step : kCanonZoomSteps)
            add(step);
    } else if (found.type == GP_WIDGET_RADIO || found.type == GP_WIDGET_MENU) {
        const int count = gp_widget_count_choices(found.widget);
        for (int i = 0; i < count; ++i) {
            const char* choice = nullptr;
            uint32_t value = 0;
            if (gp_widget_get_choice(found.widget, i, &choice) >= GP_OK && choice &&
                ValueOfText(property, choice, value))
                add(value);
        }
    } else if (found.type == GP_WIDGET_RANGE) {
        // A range of more steps than the list holds takes any value in it,
        // which the list says by being empty.
        float low = 0, high = 0, step = 0;
        gp_widget_get_range(found.widget, &low, &high, &step);
        const float steps = step > 0 && high >= low ? (high - low) / step : kMaxAllowed;
        for (uint32_t i = 0; steps < kMaxAllowed && i <= static_cast<uint32_t>(steps + 0.5f); ++i) {
            uint32_t value = 0;
            if (ValueOfNumber(property, low + static_cast<float>(i) * step, value))
                add(value);
        }
    }
    return ZEL_ERR_OK;
}

uint32_t Settings::Set(uint32_t property, uint32_t value, bool& lost) {
    Found found;
    if (uint32_t e = Find(property, false, found, lost))
        return e;
    if (found.readonly)
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    int set = GP_ERROR_BAD_PARAMETERS;
    if (property == ZEL_PROP_EVF_ZOOM && found.type == GP_WIDGET_TEXT) {
        if (std::find(std::begin(kCanonZoomSteps), std::end(kCanonZoomSteps), value) !=
            std::end(kCanonZoomSteps))
            set = gp_widget_set_value(found.widget, std::to_string(value).c_str());
    } else if (found.type == GP_WIDGET_RADIO || found.type == GP_WIDGET_MENU) {
        // The driver's own text for the value, whatever form it prints.
        const int count = gp_widget_count_choices(found.widget);
        for (int i = 0; i < count && set < GP_OK; ++i) {
            const char* choice = nullptr;
            uint32_t stands = 0;
            if (gp_widget_get_choice(found.widget, i, &choice) >= GP_OK && choice &&
                ValueOfText(property, choice, stands) && stands == value)
                set = gp_widget_set_value(found.widget, choice);
        }
    } else if (found.type == GP_WIDGET_RANGE) {
        float low = 0, high = 0, step = 0;
        gp_widget_get_range(found.widget, &low, &high, &step);
        const float number = NumberOfValue(property, value);
        const float slack = step > 0 ? step / 2 : 0.001f;
        if (number >= low - slack && number <= high + slack)
            set = gp_widget_set_value(found.widget, &number);
    } else if (found.type == GP_WIDGET_TEXT) {
        set = gp_widget_set_value(found.widget, TextOfValue(property, value).c_str());
    }
    if (set < GP_OK)
        return ZEL_ERR_INVALID_PARAMETER;
    if (uint32_t e = Write(found, lost))
        return e;
    if (property == ZEL_PROP_EVF_ZOOM)
        m_zoom = value;
    m_lastChange = std::chrono::steady_clock::now();
    m_written.erase(std::remove_if(m_written.begin(), m_written.end(),
                                   [property](const Written& w) { return w.property == property; }),
                    m_written.end());
    m_written.push_back({property, value, m_lastChange});
    return ZEL_ERR_OK;
}

uint32_t Settings::Command(uint32_t command, int32_t parameter, bool& lost) {
    if (command == ZEL_CMD_DRIVE_FOCUS && (parameter == 0 || parameter < -3 || parameter > 3))
        return ZEL_ERR_INVALID_PARAMETER;
    Found found;
    if (uint32_t e = Find(command, true, found, lost))
        return e;
    return command == ZEL_CMD_AUTOFOCUS ? Autofocus(found, lost)
                                        : DriveFocus(found, parameter, lost);
}

uint32_t Settings::Autofocus(Found& found, bool& lost) {
    if (found.type != GP_WIDGET_TOGGLE)
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    int on = 1;
    gp_widget_set_value(found.widget, &on);
    if (uint32_t e = Write(found, lost))
        return e;
    // Sony's half press is held until released.
    if (std::strcmp(found.name, "autofocus") != 0)
        return ZEL_ERR_OK;
    int off = 0;
    gp_widget_set_value(found.widget, &off);
    return Write(found, lost);
}

uint32_t Settings::DriveFocus(Found& found, int32_t parameter, bool& lost) {
    const bool near = parameter < 0;
    const int size = std::abs(parameter);
    int set = GP_ERROR_BAD_PARAMETERS;
    if (found.type == GP_WIDGET_RADIO || found.type == GP_WIDGET_MENU) {
        // The largest of the body's steps up to the size asked for: some
        // offer two sizes only.
        const char* best = nullptr;
        int bestSize = 0;
        const int count = gp_widget_count_choices(found.widget);
        for (int i = 0; i < count; ++i) {
            const char* choice = nullptr;
            int step = 0;
            if (gp_widget_get_choice(found.widget, i, &choice) < GP_OK || !choice)
                continue;
            const std::string lower = Lower(choice);
            if (std::sscanf(lower.c_str(), near ? "near %d" : "far %d", &step) == 1 &&
                step <= size && step > bestSize) {
                best = choice;
                bestSize = step;
            }
        }
        if (best)
            set = gp_widget_set_value(found.widget, best);
    } else if (found.type == GP_WIDGET_RANGE) {
        // Small ranges count the body's own step sizes (Sony's 1 to 7), large
        // ones motor steps (Nikon's up to 32767).
        float low = 0, high = 0, step = 0;
        gp_widget_get_range(found.widget, &low, &high, &step);
        const float limit = near ? -low : high;
        float amount = 0;
        if (limit <= 16)
            amount = size == 1 ? 1 : size == 2 ? std::ceil(limit / 2) : limit;
        else
            amount = std::max(std::round(limit / (size == 1 ? 256 : size == 2 ? 32 : 4)), 1.0f);
        amount = std::min(std::max(amount, step > 0 ? step : 1), limit);
        const float value = near ? -amount : amount;
        if (limit > 0)
            set = gp_widget_set_value(found.widget, &value);
    }
    if (set < GP_OK)
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    return Write(found, lost);
}

uint32_t Settings::Noticed(const char* text) {
    unsigned code = 0;
    if (!text || std::sscanf(text, "PTP Property %x changed", &code) != 1)
        return 0;
    uint32_t property = 0;
    // "PTP Property 500f changed, "iso" to "800"": the widget's name.
    if (const char* quote = std::strchr(text, '"')) {
        const char* end = std::strchr(quote + 1, '"');
        const std::string name = end ? std::string(quote + 1, end) : "";
        for (const Names& names : kNames)
            for (const char* known : names.names)
                if (!names.command && known && name == known)
                    property = names.id;
    }
    for (const auto& [standard, id] : kStandardCodes)
        if (!property && code == standard)
            property = id;
    if (!property)
        return 0;
    Pending pending;
    pending.property = property;
    pending.due = std::chrono::steady_clock::now() + kCacheTime;
    bool lost = false;
    pending.known = Get(property, pending.value, lost) == ZEL_ERR_OK;
    const auto now = std::chrono::steady_clock::now();
    for (const Written& written : m_written)
        if (written.property == property && pending.known && written.value == pending.value &&
            now - written.at < kEchoTime)
            return 0;
    m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                   [property](const Pending& p) { return p.property == property; }),
                    m_pending.end());
    m_pending.push_back(pending);
    m_lastChange = std::chrono::steady_clock::now();
    return property;
}

void Settings::Recheck(std::vector<uint32_t>& changed, bool& lost) {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = m_pending.begin(); it != m_pending.end() && !lost;) {
        if (it->due > now) {
            ++it;
            continue;
        }
        uint32_t value = 0;
        const bool known = Get(it->property, value, lost) == ZEL_ERR_OK;
        if (known != it->known || (known && value != it->value))
            changed.push_back(it->property);
        it = m_pending.erase(it);
    }
}

bool Settings::ChangedRecently() const {
    return std::chrono::steady_clock::now() - m_lastChange < kRecentChange;
}

} // namespace zelgp
