// The settings panel of the viewer page: a menu for each setting with
// choices, buttons for autofocus, focus steps and zoom. Its script talks to
// the settings API (SettingsApi.h) and lists the settings again whenever
// the change counter moves, so changes made elsewhere (the camera body,
// cvl-ctl) show too.
#ifndef CVL_HOSTS_WEB_SETTINGSPANEL_H
#define CVL_HOSTS_WEB_SETTINGSPANEL_H

namespace cvl::web {

// The panel's markup, style and script, placed at the end of the page's body.
const char* SettingsPanel();

} // namespace cvl::web

#endif
