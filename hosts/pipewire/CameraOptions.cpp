#include "CameraOptions.h"

#include "PixelLayout.h"

#include "cvlhost/HostOptions.h"

#include <cstdlib>

namespace cvl::camera {

namespace {

// Sizes a camera's live view can have; the node offers exactly this size.
constexpr int kMinSide = 16;
constexpr int kMaxSide = kMaxLiveSide;

bool ParseSize(const std::string& text, int& width, int& height) {
    const size_t x = text.find('x');
    if (x == std::string::npos)
        return false;
    long w = 0;
    long h = 0;
    if (!cvl::host::ParseWholeNumber(text.substr(0, x), kMinSide, kMaxSide, w) ||
        !cvl::host::ParseWholeNumber(text.substr(x + 1), kMinSide, kMaxSide, h) || w % 2 || h % 2)
        return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

bool ParseSeconds(const std::string& text, double& seconds) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0.0 && value <= 600.0))
        return false;
    seconds = value;
    return true;
}

} // namespace

bool ParseCameraOptions(const std::vector<std::string>& args, CameraOptions& options,
                        std::string& error) {
    const std::vector<std::string> valued = {"--name", "--description", "--size", "--linger"};
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name;
        std::string value;
        if (!cvl::host::NextOption(args, i, valued, name, value, error))
            return false;
        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--name") {
            if (value.empty()) {
                error = "--name needs a non-empty value";
                return false;
            }
            options.nodeName = value;
        } else if (name == "--description") {
            if (value.empty()) {
                error = "--description needs a non-empty value";
                return false;
            }
            options.description = value;
        } else if (name == "--size") {
            if (!ParseSize(value, options.width, options.height)) {
                error = "--size wants WIDTHxHEIGHT, even numbers from 16 to " +
                        std::to_string(kMaxSide) + ": " + value;
                return false;
            }
        } else if (name == "--linger") {
            if (!ParseSeconds(value, options.lingerSeconds)) {
                error = "--linger wants seconds from 0 to 600: " + value;
                return false;
            }
        } else {
            error = "unknown option " + name;
            return false;
        }
    }
    return true;
}

std::string CameraUsage(const std::string& program) {
    return "Usage: " + program +
           " [OPTION]...\n"
           "Publishes the Corvalink camera as a PipeWire camera node while it runs.\n"
           "\n"
           "  --name NAME         node.name of the node (corvalink-camera)\n"
           "  --description TEXT  the label applications show (Corvalink Camera)\n"
           "  --size WxH          the size offered before the first live frame (960x640)\n"
           "  --linger SECONDS    how long the camera's stream outlives the last\n"
           "                      consumer (3)\n"
           "  --version           print the version and exit\n"
           "  -h, --help          print this help and exit\n"
           "\n"
           "Exit status: 0 ended by SIGINT or SIGTERM, 1 failure while running,\n"
           "2 bad options, 3 no Corvalink installation, 4 no PipeWire daemon.\n";
}

} // namespace cvl::camera
