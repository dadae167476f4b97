// The source's properties in OBS's dialog: why it shows what it shows, how
// long the camera stays on after the source is hidden, and the camera's
// settings: menus for its choices, buttons for its actions.
#ifndef CVL_HOSTS_OBS_SOURCEPROPERTIES_H
#define CVL_HOSTS_OBS_SOURCEPROPERTIES_H

#include <obs-module.h>

namespace cvl::obs {

class CameraSource;

// The properties of source (null for the dialog of a new source).
obs_properties_t* MakeProperties(CameraSource* source);
void SetDefaults(obs_data_t* settings);
// Whether name is one of the camera's settings that the properties offer as
// a menu (and the source's settings data holds).
bool IsCameraSetting(const char* name);

} // namespace cvl::obs

#endif
