// Whether the service is there: its request port is served. The port's name
// is the service identifier and ".Request", the identifier being the one the
// build gives the whole system.
#ifndef CVLHOST_REQUESTPORT_H
#define CVLHOST_REQUESTPORT_H

#include <string>

namespace cvl::host {

// The request port's name.
std::string RequestPortName();

// True when a service serves the request port now: a remote port to it can be
// made. Sends nothing, so the service neither logs nor queues anything.
bool RequestPortServed();

} // namespace cvl::host

#endif
