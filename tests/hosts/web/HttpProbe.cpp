#include "HttpProbe.h"

#include "cvlhost/FrameStamp.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace cvl::test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The value of "name: value" in a block of header lines, "" when missing.
std::string HeaderValue(const std::string& headers, const std::string& name) {
    const std::string lower = Lower(headers);
    const std::string key = "\r\n" + Lower(name) + ":";
    const size_t at = ("\r\n" + lower).find(key);
    if (at == std::string::npos)
        return "";
    size_t start = at + key.size() - 2;
    const size_t end = headers.find("\r\n", start);
    std::string value = headers.substr(start, end == std::string::npos ? end : end - start);
    while (!value.empty() && value[0] == ' ')
        value.erase(0, 1);
    return value;
}

} // namespace

int ConnectLocal(uint16_t port, const std::string& source) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (!source.empty()) {
        sockaddr_in local;
        std::memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0)
            return false;
        sent += static_cast<size_t>(count);
    }
    return true;
}

std::string ReadToClose(int fd, std::chrono::milliseconds timeout, bool* closed) {
    std::string bytes;
    const auto end = Clock::now() + timeout;
    if (closed)
        *closed = false;
    char buffer[16384];
    for (;;) {
        pollfd entry = {fd, POLLIN, 0};
        const int ready = poll(&entry, 1, RemainingMs(end));
        if (ready <= 0)
            return bytes;
        const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) {
            if (closed)
                *closed = true;
            return bytes;
        }
        bytes.append(buffer, static_cast<size_t>(count));
    }
}

std::string ReadHead(int fd, std::chrono::milliseconds timeout) {
    std::string bytes;
    const auto end = Clock::now() + timeout;
    char buffer[4096];
    while (bytes.find("\r\n\r\n") == std::string::npos) {
        pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, RemainingMs(end)) <= 0)
            break;
        const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(count));
    }
    return bytes;
}

std::string HttpReply::Header(const std::string& name) const {
    return HeaderValue(headers, name);
}

HttpReply Exchange(uint16_t port, const std::string& raw, std::chrono::milliseconds timeout,
                   const std::string& source) {
    HttpReply reply;
    const int fd = ConnectLocal(port, source);
    if (fd < 0)
        return reply;
    SendAll(fd, raw); // the server may answer and close before all of it is sent
    const std::string bytes = ReadToClose(fd, timeout, &reply.closed);
    close(fd);
    reply.raw = bytes;
    if (bytes.rfind("HTTP/1.", 0) == 0 && bytes.size() > 12)
        reply.status = std::atoi(bytes.c_str() + 9);
    const size_t split = bytes.find("\r\n\r\n");
    reply.headers = bytes.substr(0, split);
    if (split != std::string::npos)
        reply.body = bytes.substr(split + 4);
    return reply;
}

HttpReply Get(uint16_t port, const std::string& path, const std::string& method,
              const std::string& source) {
    return Exchange(port, method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n",
                    std::chrono::seconds(10), source);
}

WebProcess::~WebProcess() {
    KillAndReap(m_pid);
}

bool WebProcess::Start(const std::vector<std::string>& arguments) {
    static int started = 0;
    const std::string folder = MakeFolder("cvl-web-" + std::to_string(++started));
    m_output = folder + "/stdout.txt";
    m_errors = folder + "/stderr.txt";
    std::vector<std::string> args = {Program("cvl-web")};
    bool listens = false;
    for (const std::string& argument : arguments)
        listens = listens || argument.rfind("--listen", 0) == 0;
    if (!listens)
        args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // The sanitizer keeps freed memory for a while to catch late uses; a
    // small quarantine keeps that out of the RSS that the tests read.
    std::vector<std::string> variables;
    std::string sanitizer = "ASAN_OPTIONS=quarantine_size_mb=4:thread_local_quarantine_size_kb=64";
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("ASAN_OPTIONS=", 0) == 0)
            sanitizer = variable + ":quarantine_size_mb=4:thread_local_quarantine_size_kb=64";
        else
            variables.push_back(variable);
    }
    variables.push_back(sanitizer);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_pid = -1;
        return false;
    }
    return WaitFor(
        [&] {
            const std::string text = Output();
            const size_t at = text.find("serving http://");
            const size_t colon = text.find(':', at + 15);
            if (at == std::string::npos || colon == std::string::npos ||
                text.find('\n', at) == std::string::npos)
                return false;
            m_port = static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1));
            return m_port != 0;
        },
        std::chrono::seconds(20));
}

bool WebProcess::StartLive(const std::vector<std::string>& arguments) {
    return Start(arguments) && WaitFor([&] { return State() == "live"; }, std::chrono::seconds(30));
}

std::string WebProcess::Output() const {
    std::string text;
    ReadFile(m_output, text);
    return text;
}

std::string WebProcess::Errors() const {
    std::string text;
    ReadFile(m_errors, text);
    return text;
}

int WebProcess::Signal(int signal, std::chrono::milliseconds timeout) {
    if (m_pid <= 0)
        return -1;
    kill(m_pid, signal);
    int status = 0;
    if (!WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout))
        return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long WebProcess::RssKiB() const {
    std::string status;
    if (!ReadFile("/proc/" + std::to_string(m_pid) + "/status", status))
        return -1;
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

double WebProcess::Stat(const std::string& key) const {
    const std::string json = Get(m_port, "/stats.json").body;
    const size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos)
        return -1;
    const char* value = json.c_str() + at + key.size() + 3;
    return std::isdigit(static_cast<unsigned char>(*value)) ? std::atof(value) : -1;
}

std::string WebProcess::State() const {
    const std::string json = Get(m_port, "/stats.json").body;
    const std::string key = "\"state\":\"";
    const size_t at = json.find(key);
    if (at == std::string::npos)
        return "";
    const size_t end = json.find('"', at + key.size());
    return json.substr(at + key.size(), end - at - key.size());
}

StreamViewer::StreamViewer(uint16_t port) : m_port(port) {}

StreamViewer::~StreamViewer() {
    Join();
}

void StreamViewer::Watch(std::chrono::milliseconds duration) {
    m_thread = std::thread(&StreamViewer::Run, this, duration);
}

void StreamViewer::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

void StreamViewer::Run(std::chrono::milliseconds duration) {
    const int fd = ConnectLocal(m_port);
    if (fd < 0 || !SendAll(fd, "GET /stream.mjpeg HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")) {
        m_malformed = true;
        if (fd >= 0)
            close(fd);
        return;
    }
    const auto start = Clock::now();
    const auto end = start + duration;
    std::string bytes;
    bool inBody = false;
    char buffer[65536];
    while (Clock::now() < end) {
        pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, RemainingMs(end)) <= 0)
            continue;
        const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(count));
        if (!inBody) {
            const size_t split = bytes.find("\r\n\r\n");
            if (split == std::string::npos)
                continue;
            m_contentType = HeaderValue(bytes.substr(0, split), "Content-Type");
            bytes.erase(0, split + 4);
            inBody = true;
        }
        // Whole parts: "--cvlframe", headers with Content-Length, the JPEG, CRLF.
        for (;;) {
            const size_t headEnd = bytes.find("\r\n\r\n");
            if (headEnd == std::string::npos)
                break;
            if (bytes.rfind("--cvlframe\r\n", 0) != 0) {
                m_malformed = true;
                break;
            }
            const long length =
                std::atol(HeaderValue(bytes.substr(0, headEnd), "Content-Length").c_str());
            const size_t bodyStart = headEnd + 4;
            if (length <= 0) {
                m_malformed = true;
                break;
            }
            if (bytes.size() < bodyStart + static_cast<size_t>(length) + 2)
                break;
            const std::string jpeg = bytes.substr(bodyStart, static_cast<size_t>(length));
            if (jpeg.rfind("\xFF\xD8", 0) != 0 ||
                bytes.compare(bodyStart + static_cast<size_t>(length), 2, "\r\n") != 0)
                m_malformed = true;
            host::FrameStamp stamp;
            if (host::ReadFrameStamp(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(),
                                     stamp))
                m_sequences.insert(stamp.sequence);
            ++m_parts;
            bytes.erase(0, bodyStart + static_cast<size_t>(length) + 2);
        }
        if (m_malformed)
            break;
    }
    m_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
}

} // namespace cvl::test
