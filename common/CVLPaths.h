// Fixed names and absolute paths of the installed system, shared by the
// service, the client library, the console and the uninstaller.
//
// Every absolute path is resolved under the installation root: "/" unless the
// environment variable CVL_ROOT names another folder. This unit is the only
// reader of that variable.
#ifndef CVL_COMMON_CVLPATHS_H
#define CVL_COMMON_CVLPATHS_H

#ifdef __cplusplus
extern "C" {
#endif

#define CVL_SERVICE_IDENTIFIER "com.corvalink.cvlservice"
#define CVL_REQUEST_PORT_NAME CVL_SERVICE_IDENTIFIER ".Request"
#define CVL_FRAME_PORT_PREFIX CVL_SERVICE_IDENTIFIER ".Frame."

#define CVL_PATH_FRAMEWORK "/Library/Frameworks/ZelSDK.framework"
#define CVL_PATH_PLUGIN "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin"
#define CVL_PATH_RESOURCES CVL_PATH_PLUGIN "/Contents/Resources"
#define CVL_PATH_LOG CVL_PATH_RESOURCES "/log.txt"
#define CVL_PATH_ERROR_FRAME CVL_PATH_RESOURCES "/error.jpg"
#define CVL_PATH_BUSY_FRAME CVL_PATH_RESOURCES "/errorBusy.jpg"
#define CVL_PATH_NO_DEVICE_FRAME CVL_PATH_RESOURCES "/errorNoDevice.jpg"
#define CVL_PATH_SANDBOX_FRAMES CVL_PATH_RESOURCES "/sbFrames"
#define CVL_PATH_LAUNCH_AGENTS "/Library/LaunchAgents"
#define CVL_PATH_LAUNCH_AGENT CVL_PATH_LAUNCH_AGENTS "/" CVL_SERVICE_IDENTIFIER ".plist"
#define CVL_PATH_APPLICATION "/Applications/Corvalink"
#define CVL_PATH_OSASCRIPT "/usr/bin/osascript"

// The installation root without a trailing slash: "" when it is "/".
const char* CVLInstallRoot(void);

// fixedPath (absolute, as installed on the target system) placed under the
// installation root. The returned text stays valid until the process ends.
// A null or relative path is returned unchanged.
const char* CVLResolvePath(const char* fixedPath);

#ifdef __cplusplus
}
#endif

#endif
