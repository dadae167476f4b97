// Command-line options of the viewer host cvl-view.
#ifndef CVL_HOSTS_VIEW_VIEWOPTIONS_H
#define CVL_HOSTS_VIEW_VIEWOPTIONS_H

#include <string>
#include <vector>

namespace cvl::view {

struct ViewOptions {
    enum class Mode { Port, Sandbox };

    double seconds = 5.0;   // how long to stream
    int rate = 30;          // GetFrame calls per second
    Mode mode = Mode::Port; // port mode or sandbox mode
    bool startSandbox = false;
    std::string outPath;      // Motion-JPEG output, empty for none
    std::string snapshotPath; // last live frame, empty for none
    bool json = false;
    std::string jsonPath;   // the JSON summary also written to this file
    bool quiet = false;     // no per-second lines
    bool reconnect = false; // ask again when the service stopped answering
    bool help = false;
};

// Parses the arguments after the program name. Each option takes its value as
// the next argument or after "=" (--rate=25). Returns false with a one-line
// reason in error for an unknown option, a missing or malformed value.
bool ParseViewOptions(const std::vector<std::string>& args, ViewOptions& options,
                      std::string& error);

// The usage text printed by --help and after an option error, naming the
// program `program`.
std::string ViewUsage(const std::string& program = "cvl-view");

} // namespace cvl::view

#endif
