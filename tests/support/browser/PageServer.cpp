#include "PageServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace cvl::test {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// How long a connection may take to send its request, and how long /hold
// waits at most: a browser that never gets an answer would never finish.
constexpr auto kRequestTimeout = seconds(30);
constexpr auto kHoldLimit = seconds(120);
constexpr size_t kMaxRequest = 4 * 1024 * 1024;

void SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

void Reply(int fd, int status, const std::string& contentType, const std::string& body) {
    const char* reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Bad Request";
    SendAll(fd, "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " +
                    contentType + "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body);
}

// Reads a request: the head, and as much body as Content-Length says.
bool ReadRequest(int fd, std::string& head, std::string& body) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + kRequestTimeout;
    size_t headEnd = std::string::npos;
    size_t length = 0;
    while (true) {
        if (headEnd == std::string::npos &&
            (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            head = data.substr(0, headEnd);
            std::string lower = head;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const size_t field = lower.find("\r\ncontent-length:");
            if (field != std::string::npos)
                length = std::strtoul(lower.c_str() + field + 17, nullptr, 10);
            if (length > kMaxRequest)
                return false;
        }
        if (headEnd != std::string::npos && data.size() >= headEnd + 4 + length) {
            body = data.substr(headEnd + 4, length);
            return true;
        }
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || data.size() > kMaxRequest)
            return false;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[16384];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.append(buffer, static_cast<size_t>(n));
    }
}

PageReport ParseReport(const std::string& body) {
    PageReport report;
    std::istringstream lines(body);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            report.fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return report;
}

} // namespace

std::string PageReport::Get(const std::string& name) const {
    const auto field = fields.find(name);
    return field == fields.end() ? "" : field->second;
}

double PageReport::Number(const std::string& name, double fallback) const {
    const std::string text = Get(name);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return text.empty() || *end != '\0' ? fallback : value;
}

PageServer::~PageServer() {
    Stop();
}

bool PageServer::Start() {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0 || pipe2(m_wake, O_CLOEXEC) != 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 64) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return false;
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { Accept(); });
    return true;
}

void PageServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_wake[1] >= 0) {
        const char byte = 0;
        (void)!write(m_wake[1], &byte, 1);
    }
    if (m_acceptor.joinable())
        m_acceptor.join();
    // No new connection threads now; the others end within their bounds.
    for (std::thread& connection : m_connections)
        connection.join();
    m_connections.clear();
    for (int* fd : {&m_listener, &m_wake[0], &m_wake[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

std::string PageServer::Url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + pathAndQuery;
}

void PageServer::AddFile(const std::string& path, const std::string& contentType,
                         const std::string& body) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files[path] = {contentType, body};
}

std::vector<PageReport> PageServer::Reports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

PageReport PageServer::WaitForReport(const std::function<bool(const PageReport&)>& accept,
                                     milliseconds timeout, size_t after) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    PageReport found;
    size_t looked = after;
    m_changed.wait_for(lock, timeout, [&] {
        for (; looked < m_reports.size(); ++looked) {
            if (accept(m_reports[looked])) {
                found = m_reports[looked];
                return true;
            }
        }
        return m_stopping;
    });
    return found;
}

void PageServer::ReleaseHold() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
    }
    m_changed.notify_all();
}

void PageServer::Hold() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = false;
}

void PageServer::Accept() {
    while (true) {
        pollfd entries[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0 && errno != EINTR)
            return;
        if (entries[1].revents)
            return;
        if (!(entries[0].revents & POLLIN))
            continue;
        const int connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.emplace_back([this, connection] { Answer(connection); });
    }
}

void PageServer::Answer(int connection) {
    std::string head;
    std::string body;
    if (!ReadRequest(connection, head, body)) {
        close(connection);
        return;
    }
    std::istringstream requestLine(head.substr(0, head.find("\r\n")));
    std::string method;
    std::string target;
    requestLine >> method >> target;
    const std::string path = target.substr(0, target.find('?'));

    if (method == "POST" && path == "/report") {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_reports.push_back(ParseReport(body));
        }
        m_changed.notify_all();
        Reply(connection, 200, "text/plain", "ok\n");
    } else if (method == "GET" && path == "/hold") {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, kHoldLimit, [&] { return m_released || m_stopping; });
        lock.unlock();
        Reply(connection, 200, "text/plain", "released\n");
    } else {
        std::pair<std::string, std::string> file;
        bool found = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto entry = m_files.find(path);
            if (method == "GET" && entry != m_files.end()) {
                file = entry->second;
                found = true;
            }
        }
        if (found)
            Reply(connection, 200, file.first, file.second);
        else
            Reply(connection, 404, "text/plain", "not found\n");
    }
    close(connection);
}

} // namespace cvl::test
