// Command-line options of cvl-camera, and its exit statuses.
#ifndef CVL_HOSTS_PIPEWIRE_CAMERAOPTIONS_H
#define CVL_HOSTS_PIPEWIRE_CAMERAOPTIONS_H

#include <string>
#include <vector>

namespace cvl::camera {

// Exit statuses, distinct for each reason the program cannot run.
enum ExitStatus {
    kExitOk = 0,
    kExitFailure = 1,        // anything else that went wrong while running
    kExitBadOptions = 2,     // an unknown option or a malformed value
    kExitNoInstallation = 3, // no Corvalink installation under the root
    kExitNoPipeWire = 4,     // no PipeWire daemon to connect to
};

struct CameraOptions {
    std::string nodeName = "corvalink-camera";
    std::string description = "Corvalink Camera";
    // The size the node offers before the first live frame tells the real one.
    int width = 960;
    int height = 640;
    // How long the stream from the service outlives the last consumer.
    double lingerSeconds = 3.0;
    bool help = false;
    bool version = false;
};

// Parses the arguments after the program name; each valued option takes its
// value as the next argument or after "=". False with a one-line reason in
// error for an unknown option, a missing or malformed value.
bool ParseCameraOptions(const std::vector<std::string>& args, CameraOptions& options,
                        std::string& error);

// The text of --help, naming the program `program`.
std::string CameraUsage(const std::string& program = "cvl-camera");

} // namespace cvl::camera

#endif
