#include "SourceProperties.h"

#include "CameraSource.h"

#include <cstring>
#include <string>

namespace cvl::obs {

namespace {

// The camera's settings that the source offers as menus, in the order the
// service lists them, and how their values read in the menu.
struct Menu {
    const char* name;
    const char* description;
    const char* before; // the label: before, the value, after
    const char* after;
};

constexpr Menu kMenus[] = {
    {"iso", "ISO", "", ""},
    {"aperture", "Aperture", "f/", ""},
    {"shutter-speed", "Shutter speed", "", " s"},
    {"exposure-compensation", "Exposure compensation", "", " EV"},
    {"white-balance", "White balance", "", ""},
    {"live-view-size", "Live view size", "", ""},
};

const Menu* MenuOf(const char* name) {
    for (const Menu& menu : kMenus)
        if (std::strcmp(menu.name, name) == 0)
            return &menu;
    return nullptr;
}

std::string Label(const Menu& menu, const std::string& value) {
    if (value.empty())
        return value;
    std::string label = value;
    // Words ("auto", "daylight") begin with a capital.
    if (label[0] >= 'a' && label[0] <= 'z')
        return static_cast<char>(label[0] - 'a' + 'A') + label.substr(1);
    return menu.before + label + menu.after;
}

// The button's name says its action: "focus_near_2" is "focus near 2".
bool RunAction(obs_properties_t*, obs_property_t* property, void* data) {
    auto* source = static_cast<CameraSource*>(data);
    const char* name = obs_property_name(property);
    if (!source || !name)
        return false;
    std::string action = name;
    for (char& c : action)
        if (c == '_')
            c = ' ';
    source->Act(action);
    // Nothing in the properties changes now; the camera's new values come
    // when it has them.
    return false;
}

void AddButton(obs_properties_t* properties, const std::string& name, const std::string& text) {
    obs_properties_add_button(properties, name.c_str(), text.c_str(), RunAction);
}

// Menus for the camera's choices, the current value selected (by the
// source's settings data, which the source keeps at the camera's values),
// and buttons for autofocus, focus steps and zoom. What the camera lacks is
// left out; without a camera (or service) there are none.
void AddCameraSettings(obs_properties_t* properties, CameraSource* source) {
    const std::vector<CVLSetting> settings =
        source ? source->CameraSettings() : std::vector<CVLSetting>();
    if (settings.empty()) {
        obs_properties_add_text(properties, "camera_settings",
                                "Camera settings: shown while the camera streams", OBS_TEXT_INFO);
        return;
    }
    for (const CVLSetting& setting : settings) {
        const Menu* menu = MenuOf(setting.name.c_str());
        if (!menu || setting.allowed.empty())
            continue;
        obs_property_t* list =
            obs_properties_add_list(properties, setting.name.c_str(), menu->description,
                                    OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
        bool listed = false;
        for (const std::string& value : setting.allowed) {
            obs_property_list_add_string(list, Label(*menu, value).c_str(), value.c_str());
            listed = listed || value == setting.value;
        }
        // A value the camera has but does not offer (one it was set to on
        // its body, say) still shows.
        if (!listed)
            obs_property_list_add_string(list, Label(*menu, setting.value).c_str(),
                                         setting.value.c_str());
    }
    AddButton(properties, "autofocus", "Autofocus");
    for (const char* direction : {"near", "far"})
        for (int step = 1; step <= 3; ++step)
            AddButton(properties, std::string("focus_") + direction + "_" + std::to_string(step),
                      std::string("Focus ") + direction + ", step " + std::to_string(step));
    for (const CVLSetting& setting : settings)
        if (setting.name == "zoom")
            for (const std::string& value : setting.allowed)
                AddButton(properties, "zoom_" + value,
                          "Zoom " + value + "x" + (value == setting.value ? " (now)" : ""));
}

} // namespace

bool IsCameraSetting(const char* name) {
    return MenuOf(name) != nullptr;
}

obs_properties_t* MakeProperties(CameraSource* source) {
    obs_properties_t* properties = obs_properties_create();
    const std::string state =
        std::string("Camera: ") +
        (source ? cvl::host::StateText(source->State()) : "shown once the source is active");
    obs_properties_add_text(properties, "state", state.c_str(), OBS_TEXT_INFO);
    obs_property_t* linger = obs_properties_add_int(
        properties, CameraSource::kLingerSetting, "Keep the camera on after hiding (s)", 0, 600, 1);
    obs_property_set_long_description(
        linger, "The camera's live view stays on this long after the source is hidden, so that "
                "switching scenes back shows it at once; then it ends until the source is shown "
                "again.");
    AddCameraSettings(properties, source);
    return properties;
}

void SetDefaults(obs_data_t* settings) {
    obs_data_set_default_int(settings, CameraSource::kLingerSetting,
                             CameraSource::kDefaultLingerSeconds);
}

} // namespace cvl::obs
