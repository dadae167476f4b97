#include "WebServer.h"

#include "HttpReply.h"
#include "MjpegStream.h"
#include "SettingsApi.h"
#include "WebPage.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace cvl::web {

namespace {

// Whatever the request state pointer points at once the headers are in.
char g_headersSeen;

// Connections the library may hold beyond the guard's limit: those the guard
// has shut down and whose threads have not ended yet.
constexpr unsigned kClosingRoom = 56;

WebServer& Server(void* self) {
    return *static_cast<WebServer*>(self);
}

void LogLibraryError(void* self, const char* format, va_list arguments) {
    char message[512];
    std::vsnprintf(message, sizeof message, format, arguments);
    // A viewer that hangs up ends its stream this way: nothing to report.
    if (std::strncmp(message, "Failed to send", 14) == 0)
        return;
    Server(self).Log().Library(message, BurstLog::Clock::now());
}

// The client's address as text, the key of the per-client limit.
std::string ClientAddress(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    else if (address && address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof text);
    return text;
}

MHD_Result AdmitClient(void* self, const sockaddr* address, socklen_t) {
    return Server(self).Guard().Admit(ClientAddress(address)) ? MHD_YES : MHD_NO;
}

ConnectionGuard::Connection* Tracked(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnectionGuard::Connection*>(info->socket_context) : nullptr;
}

void NoteConnection(void* self, MHD_Connection* connection, void** socketContext,
                    MHD_ConnectionNotificationCode code) {
    ConnectionGuard& guard = Server(self).Guard();
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* fd =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* address =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (fd)
            *socketContext = guard.Opened(fd->connect_fd,
                                          ClientAddress(address ? address->client_addr : nullptr));
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        guard.Closed(static_cast<ConnectionGuard::Connection*>(*socketContext));
        *socketContext = nullptr;
    }
}

void RequestDone(void* self, MHD_Connection* connection, void** requestState,
                 MHD_RequestTerminationCode) {
    if (*requestState != &g_headersSeen)
        SettingsApi::Release(*requestState);
    Server(self).Guard().RequestDone(Tracked(connection));
}

// A fixed text/plain reply with one more header.
int SendFixed(MHD_Connection* connection, unsigned status, const char* text, const char* header,
              const char* value) {
    MHD_Response* response = MHD_create_response_from_buffer(
        std::strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
    if (response)
        MHD_add_response_header(response, header, value);
    return SendResponse(connection, status, response, "text/plain");
}

// Counts Host headers and finds header names with blanks in them ("Host :"),
// which a server must refuse rather than guess at.
struct HeaderCheck {
    int hosts = 0;
    bool blankInName = false;
};

MHD_Result CheckHeader(void* check, MHD_ValueKind, const char* key, const char*) {
    auto* found = static_cast<HeaderCheck*>(check);
    if (key && std::strpbrk(key, " \t"))
        found->blankInName = true;
    if (key && strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0)
        ++found->hosts;
    return MHD_YES;
}

// The request head's faults that this server answers itself (the library
// would send its own answer's status line and headers twice).
bool RefuseMalformed(MHD_Connection* connection, const char* version) {
    HeaderCheck check;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &CheckHeader, &check);
    const bool http11 = version && std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0;
    if (!check.blankInName && check.hosts <= 1 && (!http11 || check.hosts == 1))
        return false;
    // Nothing more is read from a client that sent this.
    SendFixed(connection, MHD_HTTP_BAD_REQUEST, "bad request\n", MHD_HTTP_HEADER_CONNECTION,
              "close");
    return true;
}

MHD_Result Answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                  const char* version, const char* uploadData, size_t* uploadSize,
                  void** requestState) {
    // The first call comes with the headers alone: answer there and then,
    // so a body is never read (the library closes the connection after the
    // reply when one was sent).
    if (*requestState == nullptr) {
        *requestState = &g_headersSeen;
        Server(self).Guard().RequestStarted(Tracked(connection));
        if (RefuseMalformed(connection, version))
            return MHD_YES;
        if (SettingsApi::Handles(url ? url : ""))
            return Server(self).Settings().Begin(connection, url, method ? method : "",
                                                 requestState) == MHD_YES
                       ? MHD_YES
                       : MHD_NO;
        return Server(self).Route(connection, url ? url : "", method ? method : "") == MHD_YES
                   ? MHD_YES
                   : MHD_NO;
    }
    // A change's body comes to the settings; any other is discarded.
    if (*requestState != &g_headersSeen)
        return Server(self).Settings().Continue(connection, uploadData, uploadSize,
                                                *requestState) == MHD_YES
                   ? MHD_YES
                   : MHD_NO;
    *uploadSize = 0;
    return MHD_YES;
}

// A viewer's stream holds one of the guard's stream places while it lives.
struct ViewerStream {
    ViewerStream(FrameHub& hub, MjpegStream::Wrapping wrapping, ConnectionGuard& guard)
        : stream(hub, wrapping), guard(guard) {}
    ~ViewerStream() { guard.ReleaseStreamPlace(); }
    MjpegStream stream;
    ConnectionGuard& guard;
};

ssize_t ReadStream(void* stream, uint64_t, char* buffer, size_t max) {
    const ssize_t count = static_cast<ViewerStream*>(stream)->stream.Read(buffer, max);
    return count < 0 ? MHD_CONTENT_READER_END_OF_STREAM : count;
}

void EndStream(void* stream) {
    delete static_cast<ViewerStream*>(stream);
}

} // namespace

WebServer::WebServer(FrameHub& hub, bool settingsRemote)
    : m_hub(hub), m_log(stderr), m_guard(m_log), m_settings(settingsRemote) {}

WebServer::~WebServer() {
    Stop();
}

bool WebServer::Start(const ListenAddress& address, std::string& error) {
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD |
                     MHD_USE_POLL | MHD_USE_ERROR_LOG;
    if (address.ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(address.port);
        inet_pton(AF_INET6, address.host.c_str(), &in6->sin6_addr);
        flags |= MHD_USE_IPv6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(address.port);
        inet_pton(AF_INET, address.host.c_str(), &in4->sin_addr);
    }
    // The library's strict mode is left off: its answer to a request without
    // Host repeats its status line and headers; Answer checks Host itself.
    m_daemon = MHD_start_daemon(
        flags, address.port, &AdmitClient, this, &Answer, this, MHD_OPTION_EXTERNAL_LOGGER,
        &LogLibraryError, this, MHD_OPTION_SOCK_ADDR, &storage, MHD_OPTION_CONNECTION_LIMIT,
        ConnectionGuard::kConnectionLimit + kClosingRoom, MHD_OPTION_CONNECTION_TIMEOUT,
        kIdleSeconds, MHD_OPTION_NOTIFY_CONNECTION, &NoteConnection, this,
        MHD_OPTION_NOTIFY_COMPLETED, &RequestDone, this, MHD_OPTION_STRICT_FOR_CLIENT, 0,
        MHD_OPTION_END);
    if (!m_daemon) {
        error = "cannot listen on " + address.Text() + " (address in use or not of this machine)";
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : address.port;
    m_guard.Start();
    return true;
}

void WebServer::Stop() {
    if (!m_daemon)
        return;
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    m_guard.Stop();
    m_log.Flush();
}

int WebServer::Route(MHD_Connection* connection, const std::string& url,
                     const std::string& method) {
    const bool head = method == MHD_HTTP_METHOD_HEAD;
    const bool known = url == "/" || url == "/stream.mjpeg" || url == "/stream.mkv" ||
                       url == "/snapshot.jpg" || url == "/stats.json";
    if (!known)
        return SendText(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
    if (method != MHD_HTTP_METHOD_GET && !head) {
        return SendFixed(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                         MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }

    if (url == "/")
        return SendText(connection, MHD_HTTP_OK, WebPage(m_hub.State()),
                        "text/html; charset=utf-8");
    if (url == "/stats.json")
        return SendText(connection, MHD_HTTP_OK, m_hub.StatsJson(host::MonotonicNowNs()) + "\n",
                        "application/json");
    if (url == "/snapshot.jpg") {
        const std::shared_ptr<const Picture> picture = m_hub.Newest();
        if (!picture)
            return SendText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "no picture yet\n",
                            "text/plain");
        return SendText(connection, MHD_HTTP_OK, picture->jpeg, "image/jpeg");
    }
    // A stream: a HEAD gets its headers only and is no viewer.
    const MjpegStream::Wrapping wrapping =
        url == "/stream.mkv" ? MjpegStream::Wrapping::Matroska : MjpegStream::Wrapping::Multipart;
    const std::string type = MjpegStream::ContentType(wrapping);
    if (head)
        return SendText(connection, MHD_HTTP_OK, "", type.c_str());
    if (!m_guard.TakeStreamPlace())
        return SendFixed(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many viewers\n",
                         MHD_HTTP_HEADER_RETRY_AFTER, "10");
    auto* stream = new ViewerStream(m_hub, wrapping, m_guard);
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024,
                                                               &ReadStream, stream, &EndStream);
    if (!response) {
        delete stream;
        return MHD_NO;
    }
    return SendResponse(connection, MHD_HTTP_OK, response, type.c_str());
}

} // namespace cvl::web
