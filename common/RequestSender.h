// The client side of the request port: one request, one new connection.
#ifndef CVL_COMMON_REQUESTSENDER_H
#define CVL_COMMON_REQUESTSENDER_H

#include <CoreFoundation/CoreFoundation.h>

#include <string>

constexpr CFTimeInterval kRequestSendTimeout = 1.0;
constexpr CFTimeInterval kRequestReceiveTimeout = 1.0;

// Sends text and its NUL to the service's request port through a remote port
// created for this request alone, waiting up to 1 s to send and 1 s for the
// reply, whose content is not examined. True exactly when the send reported
// success; false at once when no service serves the port.
bool SendRequestText(const std::string& text);
// The same, keeping the reply's text (up to its NUL) in reply when the send
// succeeded and the reply carried data.
bool SendRequestForReply(const std::string& text, std::string* reply);

// True when a service serves the request port now: a remote port to it can
// be made. Sends nothing.
bool RequestPortServed();

// The same for the port named name (which stays the caller's).
bool PortServed(CFStringRef name);

#endif
