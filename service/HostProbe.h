// The start-up probe of the service: runs "csrutil status" and, where needed,
// "sw_vers" through the shell and decides from their output whether sandbox
// mode is enabled.
#ifndef CVL_SERVICE_HOSTPROBE_H
#define CVL_SERVICE_HOSTPROBE_H

#include <string>

// Everything the command writes to its standard output; its standard error
// is not read. A pipe that cannot be opened gives "error opening pipe" and an
// empty text; output that cannot be read or kept gives "error reading pipe"
// and the text read so far.
std::string exec(const char* command);

// Sandboxed hosts are served automatically where the system's protection is
// off, or on the one system release that needs it regardless.
bool EnableSandboxMode();

#endif
