#include "ViewOptions.h"

#include "cvlhost/HostOptions.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace cvl::view {

namespace {

constexpr double kMaxSeconds = 24.0 * 3600.0;
constexpr int kMaxRate = 1000;

bool ParseSeconds(const std::string& text, double& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed <= 0.0 ||
        parsed > kMaxSeconds)
        return false;
    value = parsed;
    return true;
}

bool ParseRate(const std::string& text, int& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < 1 || parsed > kMaxRate)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

} // namespace

bool ParseViewOptions(const std::vector<std::string>& args, ViewOptions& options,
                      std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const size_t at = i;
        std::string name;
        std::string value;
        if (!host::NextOption(
                args, i, {"--seconds", "--rate", "--mode", "--out", "--snapshot", "--json-file"},
                name, value, error))
            return false;

        if (name == "--seconds") {
            if (!ParseSeconds(value, options.seconds)) {
                error = "--seconds needs a positive number of seconds, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--rate") {
            if (!ParseRate(value, options.rate)) {
                error = "--rate needs a whole number from 1 to " + std::to_string(kMaxRate) +
                        ", not \"" + value + "\"";
                return false;
            }
        } else if (name == "--mode") {
            if (value == "port") {
                options.mode = ViewOptions::Mode::Port;
            } else if (value == "sandbox") {
                options.mode = ViewOptions::Mode::Sandbox;
            } else {
                error = "--mode is port or sandbox, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--out" || name == "--snapshot" || name == "--json-file") {
            if (value.empty()) {
                error = "option " + name + " needs a file name";
                return false;
            }
            (name == "--out"        ? options.outPath
             : name == "--snapshot" ? options.snapshotPath
                                    : options.jsonPath) = value;
        } else if (name == "--start-sandbox") {
            options.startSandbox = true;
        } else if (name == "--json") {
            options.json = true;
        } else if (name == "--quiet") {
            options.quiet = true;
        } else if (name == "--reconnect") {
            options.reconnect = true;
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else {
            error = "unknown option \"" + args[at] + "\"";
            return false;
        }
    }
    return true;
}

std::string ViewUsage(const std::string& program) {
    return "usage: " + program +
           " [options]\n"
           "  --seconds S         how long to stream (default 5)\n"
           "  --rate N            GetFrame calls per second (default 30)\n"
           "  --mode port|sandbox frames from the frame port or the sandbox frame files\n"
           "                      (default port)\n"
           "  --start-sandbox     send StartStreamingSandboxMode first, StopStreaming at the end\n"
           "  --out FILE          write every live frame returned as Motion-JPEG\n"
           "                      (the JPEG images one after another)\n"
           "  --snapshot FILE     write the last live frame as a JPEG file\n"
           "  --json              end with one line of JSON summing up the run\n"
           "  --json-file FILE    also write that JSON line to FILE\n"
           "  --quiet             no per-second lines\n"
           "  --reconnect         port mode: no new frame for 5 s, probe the service and ask\n"
           "                      for the stream again once it answers\n";
}

} // namespace cvl::view
