# Destinations of the installed layout, relative to the installation root.
set(CVL_SERVICE_IDENTIFIER "com.corvalink.cvlservice")
set(CVL_INSTALL_APPLICATION "Applications/Corvalink")
set(CVL_INSTALL_PLUGIN "Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin")
set(CVL_INSTALL_RESOURCES "${CVL_INSTALL_PLUGIN}/Contents/Resources")
set(CVL_INSTALL_FRAMEWORK "Library/Frameworks/ZelSDK.framework")
set(CVL_INSTALL_FRAMEWORK_BINARY "${CVL_INSTALL_FRAMEWORK}/Versions/A")
set(CVL_INSTALL_LAUNCH_AGENTS "Library/LaunchAgents")
set(CVL_INSTALL_USR_BIN "usr/bin")
# The platform stand-ins (CoreFoundation, libproc, Security) are shared
# libraries in the staged root's usr/lib, where the platform's own would be.
set(CVL_INSTALL_PLATFORM_LIBS "usr/lib")
# GStreamer plug-ins of the installation (cvlsrc): found through GST_PLUGIN_PATH.
set(CVL_INSTALL_GST_PLUGINS "${CVL_INSTALL_PLATFORM_LIBS}/gstreamer-1.0")
# OBS Studio modules of the installation (the OBS source): a user's OBS loads
# them from its configuration's plug-in folder, the package's from the system's.
set(CVL_INSTALL_OBS_PLUGINS "${CVL_INSTALL_PLATFORM_LIBS}/obs-plugins")

# cvl_install_rpath(<target> <folder>): the installed <target> lives in
# <folder> (relative to the root) and finds the platform libraries and the
# SDK there relative to itself.
function(cvl_install_rpath target folder)
    string(REGEX REPLACE "[^/]+" ".." up "${folder}")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH
        "$ORIGIN/${up}/${CVL_INSTALL_PLATFORM_LIBS};$ORIGIN/${up}/${CVL_INSTALL_FRAMEWORK_BINARY}")
endfunction()
