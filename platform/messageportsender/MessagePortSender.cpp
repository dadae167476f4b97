#include "MessagePortSender/MessagePortSender.h"

// The CoreFoundation stand-in keeps the sender of the message whose callback
// runs on each thread; it hands it out under this private name only.
extern "C" pid_t _CFMessagePortGetCalloutSender(CFMessagePortRef local);

extern "C" pid_t MessagePortSenderProcess(CFMessagePortRef local) {
    return _CFMessagePortGetCalloutSender(local);
}
