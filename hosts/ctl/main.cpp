// cvl-ctl: the camera's settings from the command line, through the service
// (CVLSettings). The settings exist while a client streams from the camera.
//
//   cvl-ctl list                  name TAB value TAB allowed,values
//   cvl-ctl get NAME              the value
//   cvl-ctl set NAME VALUE        returns once the camera has the value
//   cvl-ctl autofocus
//   cvl-ctl focus near|far [STEP]
//   cvl-ctl zoom N
//
// Exit status: 0 done, 1 the service or the camera said no (the reason on
// standard error), 2 a malformed command line.
#include "cvlhost/HostOptions.h"

#include <CVLSettings.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

std::string Usage(const std::string& program) {
    std::string usage;
    for (const char* line :
         {"[--timeout SECONDS] list", "[--timeout SECONDS] get NAME",
          "[--timeout SECONDS] set NAME VALUE", "[--timeout SECONDS] autofocus",
          "[--timeout SECONDS] focus near|far [STEP]", "[--timeout SECONDS] zoom FACTOR"})
        usage += (usage.empty() ? "usage: " : "       ") + program + " " + line + "\n";
    usage += "\nThe camera's settings while Corvalink streams from it: iso, aperture,\n"
             "shutter-speed, exposure-compensation, white-balance, live-view-size, zoom,\n"
             "zoom-position. Values as people write them: 800, 5.6, 1/60, +1.3, daylight,\n"
             "1024x768. set and the actions return once the camera has carried them out\n"
             "(waiting up to --timeout seconds, 10 by default). STEP is 1 (smallest) to 3.\n";
    return usage;
}

int Fail(const std::string& program, const std::string& error) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return kFailed;
}

int Run(const std::string& program, const std::vector<std::string>& words, int timeoutMs) {
    CVLSettings settings;
    std::string error;
    const std::string& verb = words[0];
    if (verb == "list") {
        std::vector<CVLSetting> list;
        if (!settings.List(list, error))
            return Fail(program, error);
        // Not an error: the camera, or the camera SDK in use, has none.
        if (list.empty())
            std::fprintf(stderr, "%s: the camera offers none of the settings\n", program.c_str());
        for (const CVLSetting& setting : list) {
            std::string allowed;
            for (size_t i = 0; i < setting.allowed.size(); ++i)
                allowed += (i ? "," : "") + setting.allowed[i];
            std::printf("%s\t%s\t%s\n", setting.name.c_str(), setting.value.c_str(),
                        allowed.c_str());
        }
        return kDone;
    }
    if (verb == "get") {
        CVLSetting setting;
        if (!settings.Get(words[1], setting, error))
            return Fail(program, error);
        std::printf("%s\n", setting.value.c_str());
        return kDone;
    }
    bool done = false;
    if (verb == "set")
        done = settings.Set(words[1], words[2], error, timeoutMs);
    else if (verb == "zoom")
        done = settings.Set("zoom", words[1], error, timeoutMs);
    else if (verb == "autofocus")
        done = settings.Act("autofocus", error, timeoutMs);
    else
        done = settings.Act("focus " + words[1] + (words.size() == 3 ? " " + words[2] : ""), error,
                            timeoutMs);
    return done ? kDone : Fail(program, error);
}

// Whether words make a command with the right number of arguments.
bool WellFormed(const std::vector<std::string>& words) {
    if (words.empty())
        return false;
    const std::string& verb = words[0];
    const size_t n = words.size() - 1;
    if (verb == "list" || verb == "autofocus")
        return n == 0;
    if (verb == "get" || verb == "zoom")
        return n == 1;
    if (verb == "set")
        return n == 2;
    if (verb == "focus")
        return (n == 1 || n == 2) && (words[1] == "near" || words[1] == "far") &&
               (n == 1 || words[2] == "1" || words[2] == "2" || words[2] == "3");
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = cvl::host::ProgramName(argc > 0 ? argv[0] : nullptr, "cvl-ctl");
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    long timeoutSeconds = 10;
    size_t i = 0;
    // Options come before the command, so that a value such as -0.7 is
    // never taken for one.
    while (i < args.size() && args[i].compare(0, 2, "--") == 0) {
        if (args[i] == "--help") {
            std::fputs(Usage(program).c_str(), stdout);
            return kDone;
        }
        std::string name;
        std::string value;
        std::string error;
        const bool parsed = cvl::host::NextOption(args, i, {"--timeout"}, name, value, error);
        if (parsed && name != "--timeout")
            error = "unknown option " + name;
        else if (parsed && !cvl::host::ParseWholeNumber(value, 1, 3600, timeoutSeconds))
            error = "--timeout takes whole seconds from 1 to 3600";
        if (!error.empty()) {
            std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(),
                         Usage(program).c_str());
            return kUsage;
        }
        ++i;
    }
    const std::vector<std::string> words(args.begin() + static_cast<long>(i), args.end());
    if (words.size() == 1 && words[0] == "-h") {
        std::fputs(Usage(program).c_str(), stdout);
        return kDone;
    }
    if (!WellFormed(words)) {
        std::fputs(Usage(program).c_str(), stderr);
        return kUsage;
    }
    return Run(program, words, static_cast<int>(timeoutSeconds * 1000));
}
