// The viewer page served at "/": the live picture, the state and the figures,
// kept fresh by a small script that reads /stats.json twice a second.
#ifndef CVL_HOSTS_WEB_WEBPAGE_H
#define CVL_HOSTS_WEB_WEBPAGE_H

#include "FrameHub.h"

#include <string>

namespace cvl::web {

// The page as it stands for state (the script takes over once it runs).
std::string WebPage(ViewState state);

} // namespace cvl::web

#endif
