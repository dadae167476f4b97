#include "WebServer.h"

#include "MjpegStream.h"
#include "WebPage.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace cvl::web {

namespace {

// Whatever the request state pointer points at once the headers are in.
char g_headersSeen;

void LogLibraryError(void*, const char* format, va_list arguments) {
    char message[512];
    std::vsnprintf(message, sizeof message, format, arguments);
    // A viewer that hangs up ends its stream this way: nothing to report.
    if (std::strncmp(message, "Failed to send", 14) == 0)
        return;
    std::fprintf(stderr, "cvl-web: %s", message);
    std::fflush(stderr);
}

MHD_Result Answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void** requestState) {
    // The first call comes with the headers alone: answer there and then,
    // so a body is never read (the library closes the connection after the
    // reply when one was sent).
    if (*requestState == nullptr) {
        *requestState = &g_headersSeen;
        return static_cast<WebServer*>(self)->Route(connection, url ? url : "",
                                                    method ? method : "") == MHD_YES
                   ? MHD_YES
                   : MHD_NO;
    }
    // A body after the reply was queued: discard it.
    *uploadSize = 0;
    return MHD_YES;
}

ssize_t ReadStream(void* stream, uint64_t, char* buffer, size_t max) {
    const ssize_t count = static_cast<MjpegStream*>(stream)->Read(buffer, max);
    return count < 0 ? MHD_CONTENT_READER_END_OF_STREAM : count;
}

void EndStream(void* stream) {
    delete static_cast<MjpegStream*>(stream);
}

// Queues response with the headers every reply carries, and releases it.
int Send(MHD_Connection* connection, unsigned status, MHD_Response* response,
         const char* contentType) {
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

int SendText(MHD_Connection* connection, unsigned status, const std::string& text,
             const char* contentType) {
    return Send(connection, status,
                MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                                MHD_RESPMEM_MUST_COPY),
                contentType);
}

} // namespace

WebServer::WebServer(FrameHub& hub) : m_hub(hub) {}

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
    m_daemon = MHD_start_daemon(
        flags, address.port, nullptr, nullptr, &Answer, this, MHD_OPTION_EXTERNAL_LOGGER,
        &LogLibraryError, nullptr, MHD_OPTION_SOCK_ADDR, &storage, MHD_OPTION_CONNECTION_LIMIT,
        kConnectionLimit, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        // Requests that break the protocol (HTTP/1.1 without Host, say) get 400.
        MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_END);
    if (!m_daemon) {
        error = "cannot listen on " + address.Text() + " (address in use or not of this machine)";
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : address.port;
    return true;
}

void WebServer::Stop() {
    if (!m_daemon)
        return;
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}

int WebServer::Route(MHD_Connection* connection, const std::string& url,
                     const std::string& method) {
    const bool head = method == MHD_HTTP_METHOD_HEAD;
    const bool known =
        url == "/" || url == "/stream.mjpeg" || url == "/snapshot.jpg" || url == "/stats.json";
    if (!known)
        return SendText(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
    if (method != MHD_HTTP_METHOD_GET && !head) {
        MHD_Response* response = MHD_create_response_from_buffer(
            std::strlen("method not allowed\n"), const_cast<char*>("method not allowed\n"),
            MHD_RESPMEM_PERSISTENT);
        if (response)
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        return Send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response, "text/plain");
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
    // The stream: a HEAD gets its headers only and is no viewer.
    const std::string type = MjpegStream::ContentType();
    if (head)
        return SendText(connection, MHD_HTTP_OK, "", type.c_str());
    auto* stream = new MjpegStream(m_hub);
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024,
                                                               &ReadStream, stream, &EndStream);
    if (!response) {
        delete stream;
        return MHD_NO;
    }
    return Send(connection, MHD_HTTP_OK, response, type.c_str());
}

} // namespace cvl::web
