#include "cvlhost/HostOptions.h"

#include <cstring>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace cvl::host {

bool NextOption(const std::vector<std::string>& args, size_t& i,
                const std::vector<std::string>& valued, std::string& name, std::string& value,
                std::string& error) {
    name = args[i];
    value.clear();
    bool hasValue = false;
    const size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
        hasValue = true;
    }
    const bool takesValue = std::find(valued.begin(), valued.end(), name) != valued.end();
    if (takesValue && !hasValue) {
        if (i + 1 >= args.size()) {
            error = "option " + name + " needs a value";
            return false;
        }
        value = args[++i];
    } else if (!takesValue && hasValue) {
        error = "option " + name + " takes no value";
        return false;
    }
    return true;
}

bool ParseWholeNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

std::string ProgramName(const char* argv0, const char* fallback) {
    if (argv0 == nullptr)
        return fallback;
    const char* slash = std::strrchr(argv0, '/');
    const char* name = slash ? slash + 1 : argv0;
    return *name ? std::string(name) : std::string(fallback);
}

} // namespace cvl::host
