// The camera's settings over HTTP, for the page's settings panel and for
// scripts, through the client library's CVLSettings:
//
//   GET  /settings                 every setting: value and allowed values, and the
//                                  change counter
//   GET  /settings/changes         the change counter alone (the panel polls it)
//   GET  /settings/NAME            one setting
//   POST /settings/NAME            {"value": "800"}: change it
//   POST /settings/actions         {"action": "autofocus" | "focus near 2" | "zoom 5"}
//   GET  /settings/outcomes/TICKET how a change that was still under way went
//
// A change waits for the camera for kWaitMs at most: 200 when it is done by
// then, otherwise 202 with the ticket to ask about. Replies are JSON; an
// error is {"error": "..."} with the service's message and a status that
// says what kind of error it is.
//
// Only peers on the loopback may use it unless remote use was turned on;
// a page of another site in the user's browser may not (Origin and Host
// are checked, and a change must be sent as application/json, which such a
// page cannot send without asking first).
#ifndef CVL_HOSTS_WEB_SETTINGSAPI_H
#define CVL_HOSTS_WEB_SETTINGSAPI_H

#include <cstddef>
#include <map>
#include <string>

#include <sys/socket.h>

struct MHD_Connection;

namespace cvl::web {

class SettingsApi {
public:
    // The most a request body may hold.
    static constexpr size_t kMaxBody = 4096;
    // How long a change waits for the camera before the reply says 202.
    static constexpr int kWaitMs = 1500;

    explicit SettingsApi(bool remote) : m_remote(remote) {}

    // Whether url is one of this API's.
    static bool Handles(const std::string& url);
    // True for peers on the loopback (127.0.0.0/8, ::1 and ::ffff:127.x.y.z).
    static bool IsLoopbackPeer(const sockaddr* peer);
    // Whether a Host header names this machine's loopback ("localhost",
    // "127.0.0.1:8080", "[::1]:8080"), so a page served under another name
    // that resolves here cannot reach the settings.
    static bool IsLoopbackHost(const std::string& host);
    // Parses a JSON object of strings and numbers (numbers kept as written);
    // false for anything else.
    static bool ParseObject(const std::string& json, std::map<std::string, std::string>& fields);
    // The HTTP status for one of the service's error messages.
    static unsigned StatusFor(const std::string& error);

    // Answers a request once its headers are in: MHD_YES or MHD_NO. For a
    // change it only sets *state to what collects the body, and Continue
    // answers.
    int Begin(MHD_Connection* connection, const std::string& url, const std::string& method,
              void** state);
    // Takes the next piece of the body (*uploadSize bytes, all taken), or
    // answers once the body is complete (*uploadSize 0).
    int Continue(MHD_Connection* connection, const char* upload, size_t* uploadSize, void* state);
    // Frees what Begin left in a request's state.
    static void Release(void* state);

private:
    int Get(MHD_Connection* connection, const std::string& path);
    int Change(MHD_Connection* connection, const std::string& path, const std::string& body);

    bool m_remote;
};

} // namespace cvl::web

#endif
