# Destinations of the installed layout, relative to the installation root.
set(CVL_SERVICE_IDENTIFIER "com.corvalink.cvlservice")
set(CVL_INSTALL_APPLICATION "Applications/Corvalink")
set(CVL_INSTALL_PLUGIN "Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin")
set(CVL_INSTALL_RESOURCES "${CVL_INSTALL_PLUGIN}/Contents/Resources")
set(CVL_INSTALL_FRAMEWORK "Library/Frameworks/ZelSDK.framework")
set(CVL_INSTALL_FRAMEWORK_BINARY "${CVL_INSTALL_FRAMEWORK}/Versions/A")
set(CVL_INSTALL_LAUNCH_AGENTS "Library/LaunchAgents")
set(CVL_INSTALL_USR_BIN "usr/bin")
# Programs in the application folder find the SDK in the framework folder.
set(CVL_APPLICATION_RPATH "$ORIGIN/../../${CVL_INSTALL_FRAMEWORK_BINARY};$ORIGIN/../../Library/Frameworks")
