// The HTTP side of cvl-web, on libmicrohttpd: a thread per connection, at
// most kConnectionLimit connections, idle ones closed after kIdleSeconds.
//
//   GET /              the viewer page
//   GET /stream.mjpeg  multipart/x-mixed-replace Motion-JPEG, newest picture per part
//   GET /snapshot.jpg  the newest picture
//   GET /stats.json    the hub's figures
//
// HEAD is answered for each of them; other methods get 405, other paths 404.
// Malformed requests and oversized headers are answered (400, 431) by the
// library itself.
#ifndef CVL_HOSTS_WEB_WEBSERVER_H
#define CVL_HOSTS_WEB_WEBSERVER_H

#include "FrameHub.h"
#include "WebOptions.h"

#include <cstdint>
#include <string>

struct MHD_Daemon;
struct MHD_Connection;

namespace cvl::web {

class WebServer {
public:
    static constexpr unsigned kConnectionLimit = 200;
    static constexpr unsigned kIdleSeconds = 30;

    explicit WebServer(FrameHub& hub);
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

private:
    FrameHub& m_hub;
    MHD_Daemon* m_daemon = nullptr;
    uint16_t m_port = 0;
};

} // namespace cvl::web

#endif
