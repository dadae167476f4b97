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

} // namespace cvl::host

#endif
