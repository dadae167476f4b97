// The HTTP side of cvl-web, on libmicrohttpd: a thread per connection,
// idle ones closed after kIdleSeconds; ConnectionGuard bounds how many there
// are and how long a request head may take.
//
//   GET /              the viewer page
//   GET /stream.mjpeg  multipart/x-mixed-replace Motion-JPEG, newest picture per part
//   GET /stream.mkv    the same pictures in Matroska, each with its time, for players
//   GET /snapshot.jpg  the newest picture
//   GET /stats.json    the hub's figures
//   /settings...       the camera's settings (SettingsApi)
//
// HEAD is answered for each of them; other methods get 405, other paths 404,
// a stream beyond the viewer places 503. An HTTP/1.1 request without exactly
// one Host, and a header name with blanks in it, get 400 from here; other
// malformed requests and oversized headers are answered (400, 413, 414, 431)
// by the library itself.
#ifndef CVL_HOSTS_WEB_WEBSERVER_H
#define CVL_HOSTS_WEB_WEBSERVER_H

#include "BurstLog.h"
#include "ConnectionGuard.h"
#include "FrameHub.h"
#include "SettingsApi.h"
#include "WebOptions.h"

#include <cstdint>
#include <string>

struct MHD_Daemon;
struct MHD_Connection;

namespace cvl::web {

class WebServer {
public:
    static constexpr unsigned kIdleSeconds = 30;

    // settingsRemote: the camera's settings are served to other machines too.
    explicit WebServer(FrameHub& hub, bool settingsRemote = false);
    // Stops the server if it still runs.
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Listens on address; false with the reason in error.
    bool Start(const ListenAddress& address, std::string& error);
    // The port listened on (the one chosen for port 0).
    uint16_t Port() const { return m_port; }
    // Closes every connection and joins their threads; close the hub first so
    // that streams end at once.
    void Stop();

    // Answers one request (the library's request callback calls it):
    // MHD_YES or MHD_NO.
    int Route(MHD_Connection* connection, const std::string& url, const std::string& method);

    // The library's callbacks reach these through the server.
    BurstLog& Log() { return m_log; }
    ConnectionGuard& Guard() { return m_guard; }
    SettingsApi& Settings() { return m_settings; }

private:
    FrameHub& m_hub;
    BurstLog m_log;
    ConnectionGuard m_guard;
    SettingsApi m_settings;
    MHD_Daemon* m_daemon = nullptr;
    uint16_t m_port = 0;
};

} // namespace cvl::web

#endif
