// Command-line helpers shared by the hosts' option parsers.
#ifndef CVLHOST_HOSTOPTIONS_H
#define CVLHOST_HOSTOPTIONS_H

#include <cstddef>
#include <string>
#include <vector>

namespace cvl::host {

// Takes the option at args[i] with its value ("--name value" or
// "--name=value"); valued names the options that need one. Moves i past the
// value it used. Returns false with a one-line reason in error when a value
// is missing or given to an option that takes none.
bool NextOption(const std::vector<std::string>& args, size_t& i,
                const std::vector<std::string>& valued, std::string& name, std::string& value,
                std::string& error);

// A whole decimal number from low to high, without sign or blanks.
bool ParseWholeNumber(const std::string& text, long low, long high, long& value);

// The name a program was started by, for its usage text: the last component
// of argv[0], or fallback (the program's own name) when argv[0] is missing
// or empty. The package's starters run the hosts under the names on PATH
// (corvalink-web runs cvl-web as "corvalink-web"), so the help names the
// command the user typed.
std::string ProgramName(const char* argv0, const char* fallback);

} // namespace cvl::host

#endif
