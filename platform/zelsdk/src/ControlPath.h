// Where the simulator's control socket lives: one socket per installation
// root in the user's runtime folder, shared by the simulator and zelsim.
#ifndef ZELSDK_SRC_CONTROLPATH_H
#define ZELSDK_SRC_CONTROLPATH_H

#include <string>

namespace zelsim {

// The control socket of the simulator that serves the installation root
// (CVL_ROOT, "/" when unset). On failure returns false with a message in error.
// The runtime folder is $XDG_RUNTIME_DIR, or else /tmp/runtime-<uid>
// (created with mode 0700 and refused when another user owns it); the socket
// is "zelsim/<key>.sock" in it, key being a hash of the resolved root.
bool ControlSocketPath(std::string& path, std::string& error);

} // namespace zelsim

#endif
