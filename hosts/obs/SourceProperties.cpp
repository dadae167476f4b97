#include "SourceProperties.h"

#include "CameraSource.h"

#include <string>

namespace cvl::obs {

namespace {

// The camera's settings (exposure, focus, zoom) go here once the client
// library offers them: menus for the choices, buttons for autofocus, focus
// steps and zoom, updated when the camera's values change. Until then the
// source has none.
void AddCameraSettings(obs_properties_t*, CameraSource*) {}

} // namespace

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
