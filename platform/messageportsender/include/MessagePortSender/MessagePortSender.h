// Which process sent the message that a local message port is handling: a
// facility of this platform layer beside the message ports, which the
// framework's own interface does not offer.
//
// Programs that must also build where it does not exist reach it through an
// optional (weak) reference to MessagePortSenderProcess and fall back to
// whatever the message itself says when the reference is null.
#ifndef MESSAGEPORTSENDER_MESSAGEPORTSENDER_H
#define MESSAGEPORTSENDER_MESSAGEPORTSENDER_H

#include <CoreFoundation/CoreFoundation.h>

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// Called from inside a local port's callback: the process identifier of the
// process that sent the message being handled, as the kernel gave it for the
// connection (the process that connected). -1 outside the callback, for
// another port, or when the kernel gave none. The sender cannot choose it,
// unlike anything in the message.
pid_t MessagePortSenderProcess(CFMessagePortRef local);

#ifdef __cplusplus
}
#endif

#endif
