// The name a program was started by, for its usage text: the last component
// of argv[0]. The package's starters on PATH run the programs under their
// own names (corvalink-web runs cvl-web as "corvalink-web"), and the help a
// user gets names the command the user typed.
#ifndef CVL_COMMON_PROGRAMNAME_H
#define CVL_COMMON_PROGRAMNAME_H

#include <cstring>
#include <string>

namespace cvl {

// `fallback` (the program's own name) when argv[0] is missing or empty.
inline std::string ProgramName(const char* argv0, const char* fallback) {
    if (argv0 == nullptr)
        return fallback;
    const char* slash = std::strrchr(argv0, '/');
    const char* name = slash ? slash + 1 : argv0;
    return *name ? std::string(name) : std::string(fallback);
}

} // namespace cvl

#endif
