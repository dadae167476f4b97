#include "ControlTable.h"

#include <linux/v4l2-controls.h>
#include <spa/param/param.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cvl::camera {

namespace {

// Controls without a V4L2 counterpart: numbers in the camera class's range
// for a driver's own controls.
constexpr uint32_t kOwnBase = V4L2_CID_CAMERA_CLASS_BASE + 0x1000;

constexpr uint32_t Custom(uint32_t v4l2Id) {
    return SPA_PROP_START_CUSTOM + v4l2Id;
}

struct Known {
    const char* name;
    uint32_t id;
    const char* description; // a V4L2 control name holds 31 characters
};

// In the service's order; the zoom position is two controls, the actions
// come with any camera that has settings.
const Known kKnown[] = {
    {"iso", SPA_PROP_gain, "ISO"},
    {"aperture", Custom(V4L2_CID_IRIS_ABSOLUTE), "Aperture (f-number)"},
    {"shutter-speed", SPA_PROP_exposure, "Shutter speed (seconds)"},
    {"exposure-compensation", Custom(V4L2_CID_AUTO_EXPOSURE_BIAS), "Exposure compensation (stops)"},
    {"white-balance", Custom(V4L2_CID_AUTO_N_PRESET_WHITE_BALANCE), "White balance"},
    {"live-view-size", Custom(kOwnBase + 1), "Live-view size"},
    {"zoom", Custom(V4L2_CID_ZOOM_ABSOLUTE), "Live-view zoom"},
    {"zoom-position-x", Custom(kOwnBase + 2), "Zoom centre across (1/1000)"},
    {"zoom-position-y", Custom(kOwnBase + 3), "Zoom centre down (1/1000)"},
    {"autofocus", Custom(V4L2_CID_AUTO_FOCUS_START), "Autofocus (write true)"},
    {"focus", Custom(V4L2_CID_FOCUS_RELATIVE), "Focus step (- near, + far)"},
};

const Known* FindKnown(const std::string& name) {
    for (const Known& known : kKnown) {
        if (name == known.name)
            return &known;
    }
    return nullptr;
}

constexpr int kFocusSteps = 3;
constexpr int kThousand = 1000;

// "0.5,0.25" in thousandths; false when it does not read so.
bool ParsePosition(const std::string& text, int& x, int& y) {
    double fx = 0;
    double fy = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%lf,%lf%c", &fx, &fy, &end) != 2 || fx < 0 || fx > 1 || fy < 0 ||
        fy > 1)
        return false;
    x = static_cast<int>(std::lround(fx * kThousand));
    y = static_cast<int>(std::lround(fy * kThousand));
    return true;
}

std::string Thousandths(int value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%d.%03d", value / kThousand, value % kThousand);
    return text;
}

} // namespace

bool ControlTable::Control::operator==(const Control& other) const {
    return id == other.id && kind == other.kind && name == other.name && choices == other.choices &&
           current == other.current;
}

uint32_t ControlTable::PropId(const std::string& name) {
    const Known* known = FindKnown(name);
    return known ? known->id : 0;
}

bool ControlTable::Update(const std::vector<CVLSetting>& settings) {
    std::vector<Control> controls;
    auto add = [&](const std::string& name, Kind kind) -> Control& {
        const Known* known = FindKnown(name);
        Control control;
        control.id = known->id;
        control.kind = kind;
        control.name = name;
        control.description = known->description;
        controls.push_back(control);
        return controls.back();
    };
    for (const CVLSetting& setting : settings) {
        if (setting.name == "zoom-position") {
            int x = 0;
            int y = 0;
            if (!ParsePosition(setting.value, x, y))
                continue;
            for (int axis = 0; axis < 2; ++axis) {
                Control& control =
                    add(axis ? "zoom-position-y" : "zoom-position-x", Kind::Position);
                control.current = axis ? y : x;
                control.maximum = kThousand;
            }
            continue;
        }
        // A setting of a form the node cannot offer as a menu (any value)
        // or one it does not know is left out.
        if (!FindKnown(setting.name) || setting.allowed.empty())
            continue;
        Control& control = add(setting.name, Kind::Menu);
        control.choices = setting.allowed;
        auto at = std::find(control.choices.begin(), control.choices.end(), setting.value);
        if (at == control.choices.end()) {
            // The camera reports a value outside its own list: shown, so
            // that the menu says what the camera has.
            control.choices.push_back(setting.value);
            at = control.choices.end() - 1;
        }
        control.current = static_cast<int>(at - control.choices.begin());
        control.maximum = static_cast<int>(control.choices.size()) - 1;
    }
    if (!controls.empty()) {
        add("autofocus", Kind::Trigger).maximum = 1;
        Control& focus = add("focus", Kind::Step);
        focus.minimum = -kFocusSteps;
        focus.maximum = kFocusSteps;
    }
    // pw-v4l2 lists integer ranges and booleans but no menus, and walks the
    // list in order for the next higher control id, ending at the first
    // control it cannot show: those it can come first, by id.
    std::stable_sort(controls.begin(), controls.end(), [](const Control& a, const Control& b) {
        const bool aMenu = a.kind == Kind::Menu;
        const bool bMenu = b.kind == Kind::Menu;
        if (aMenu != bMenu)
            return bMenu;
        return !aMenu && a.id < b.id;
    });
    if (controls == m_controls)
        return false;
    m_controls = std::move(controls);
    return true;
}

bool ControlTable::Build(spa_pod_builder& builder, std::vector<const spa_pod*>& params) const {
    params.clear();
    std::vector<uint32_t> offsets;
    for (const Control& control : m_controls) {
        spa_pod_frame object;
        spa_pod_frame inner;
        offsets.push_back(builder.state.offset);
        spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_PropInfo,
                                    SPA_PARAM_PropInfo);
        spa_pod_builder_add(&builder, SPA_PROP_INFO_id, SPA_POD_Id(control.id), SPA_PROP_INFO_name,
                            SPA_POD_String(control.name.c_str()), SPA_PROP_INFO_description,
                            SPA_POD_String(control.description.c_str()), 0);
        switch (control.kind) {
        case Kind::Menu:
            // The current choice first (the default), then every choice.
            spa_pod_builder_prop(&builder, SPA_PROP_INFO_type, 0);
            spa_pod_builder_push_choice(&builder, &inner, SPA_CHOICE_Enum, 0);
            spa_pod_builder_int(&builder, control.current);
            for (int i = 0; i <= control.maximum; ++i)
                spa_pod_builder_int(&builder, i);
            spa_pod_builder_pop(&builder, &inner);
            spa_pod_builder_prop(&builder, SPA_PROP_INFO_labels, 0);
            spa_pod_builder_push_struct(&builder, &inner);
            for (int i = 0; i <= control.maximum; ++i) {
                spa_pod_builder_int(&builder, i);
                spa_pod_builder_string(&builder, control.choices[static_cast<size_t>(i)].c_str());
            }
            spa_pod_builder_pop(&builder, &inner);
            break;
        case Kind::Trigger:
            spa_pod_builder_add(&builder, SPA_PROP_INFO_type, SPA_POD_CHOICE_Bool(false), 0);
            break;
        case Kind::Step:
        case Kind::Position: {
            const int rest = control.kind == Kind::Step ? 0 : control.current;
            spa_pod_builder_add(&builder, SPA_PROP_INFO_type,
                                SPA_POD_CHOICE_STEP_Int(rest, control.minimum, control.maximum, 1),
                                0);
            break;
        }
        }
        spa_pod_builder_pop(&builder, &object);
    }
    spa_pod_frame object;
    offsets.push_back(builder.state.offset);
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    for (const Control& control : m_controls) {
        spa_pod_builder_prop(&builder, control.id, 0);
        if (control.kind == Kind::Trigger)
            spa_pod_builder_bool(&builder, false);
        else
            spa_pod_builder_int(&builder, control.kind == Kind::Step ? 0 : control.current);
    }
    spa_pod_builder_pop(&builder, &object);
    if (builder.state.offset > builder.size)
        return false;
    // Pointers only now: the builder's memory stays where it is.
    for (uint32_t offset : offsets)
        params.push_back(static_cast<const spa_pod*>(SPA_PTROFF(builder.data, offset, void)));
    return true;
}

bool ControlTable::ReadInt(const spa_pod* value, int& number) {
    int32_t whole = 0;
    int64_t wide = 0;
    float single = 0;
    double dual = 0;
    uint32_t id = 0;
    double candidate = 0;
    if (spa_pod_get_int(value, &whole) == 0)
        candidate = whole;
    else if (spa_pod_get_long(value, &wide) == 0)
        candidate = static_cast<double>(wide);
    else if (spa_pod_get_id(value, &id) == 0)
        candidate = id;
    else if (spa_pod_get_float(value, &single) == 0)
        candidate = single;
    else if (spa_pod_get_double(value, &dual) == 0)
        candidate = dual;
    else
        return false;
    if (!std::isfinite(candidate) || candidate != std::floor(candidate) || candidate < -1e6 ||
        candidate > 1e6)
        return false;
    number = static_cast<int>(candidate);
    return true;
}

void ControlTable::ReadOne(const Control& control, const spa_pod* value,
                           std::vector<ControlWrite>& writes, int position[2],
                           bool& positionWritten, std::vector<std::string>& refusals) const {
    int number = 0;
    const char* text = nullptr;
    switch (control.kind) {
    case Kind::Menu:
        // A choice's label is taken too: pw-cli writes it as a string.
        if (spa_pod_get_string(value, &text) == 0 && text) {
            writes.push_back({false, control.name, text});
        } else if (!ReadInt(value, number)) {
            refusals.push_back(control.name +
                               ": the value is not a whole number (a choice's index)");
        } else if (number < 0 || number > control.maximum) {
            refusals.push_back(control.name + ": " + std::to_string(number) +
                               " is not a choice (0 to " + std::to_string(control.maximum) + ")");
        } else {
            writes.push_back({false, control.name, control.choices[static_cast<size_t>(number)]});
        }
        return;
    case Kind::Trigger: {
        bool on = false;
        if (spa_pod_get_bool(value, &on) != 0) {
            if (!ReadInt(value, number) || number < 0 || number > 1) {
                refusals.push_back(control.name + ": the value is not true or false");
                return;
            }
            on = number == 1;
        }
        if (on)
            writes.push_back({true, control.name, "autofocus"});
        return;
    }
    case Kind::Step:
        if (!ReadInt(value, number) || number < control.minimum || number > control.maximum) {
            refusals.push_back(control.name + ": the value is not a step from -" +
                               std::to_string(kFocusSteps) + " to " + std::to_string(kFocusSteps));
        } else if (number != 0) {
            writes.push_back({true, control.name,
                              std::string("focus ") + (number < 0 ? "near " : "far ") +
                                  std::to_string(std::abs(number))});
        }
        return;
    case Kind::Position:
        if (!ReadInt(value, number) || number < 0 || number > kThousand) {
            refusals.push_back(control.name + ": the value is not a whole number from 0 to " +
                               std::to_string(kThousand));
            return;
        }
        position[control.name == "zoom-position-y"] = number;
        positionWritten = true;
        return;
    }
}

void ControlTable::Read(const spa_pod* props, std::vector<ControlWrite>& writes,
                        std::vector<std::string>& refusals) const {
    if (!props || !spa_pod_is_object_type(props, SPA_TYPE_OBJECT_Props)) {
        refusals.push_back("this write is not a Props object");
        return;
    }
    if (m_controls.empty()) {
        refusals.push_back("there are no camera settings to change now (no camera streams)");
        return;
    }
    int position[2] = {kThousand / 2, kThousand / 2};
    for (const Control& control : m_controls) {
        if (control.kind == Kind::Position)
            position[control.name == "zoom-position-y"] = control.current;
    }
    bool positionWritten = false;
    const auto* object = reinterpret_cast<const spa_pod_object*>(props);
    const spa_pod_prop* prop;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        const auto control =
            std::find_if(m_controls.begin(), m_controls.end(),
                         [&](const Control& candidate) { return candidate.id == prop->key; });
        if (control == m_controls.end()) {
            char id[32];
            std::snprintf(id, sizeof(id), "0x%x", prop->key);
            refusals.push_back(std::string("no camera setting has the id ") + id);
            continue;
        }
        // A choice pod stands for its first value.
        uint32_t count = 0;
        uint32_t choice = 0;
        const spa_pod* value = spa_pod_get_values(&prop->value, &count, &choice);
        if (count == 0) {
            refusals.push_back(control->name + ": no value");
            continue;
        }
        ReadOne(*control, value, writes, position, positionWritten, refusals);
    }
    if (positionWritten)
        writes.push_back(
            {false, "zoom-position", Thousandths(position[0]) + "," + Thousandths(position[1])});
}

} // namespace cvl::camera
