// The client side of the cvl-web tests: plain sockets that send exactly the
// bytes a test chooses (well-formed or not) and read what comes back, a
// running cvl-web program, and a Motion-JPEG viewer that counts the distinct
// frames it gets.
#ifndef CVL_TESTS_HOSTS_WEB_HTTPPROBE_H
#define CVL_TESTS_HOSTS_WEB_HTTPPROBE_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace cvl::test {

// A connected TCP socket to 127.0.0.1:port, or -1. A source address of the
// loopback (127.0.0.2, ...) makes the server see another client.
int ConnectLocal(uint16_t port, const std::string& source = "");
bool SendAll(int fd, const std::string& bytes);
// Reads until the peer closes or timeout passes; closed tells which.
std::string ReadToClose(int fd, std::chrono::milliseconds timeout, bool* closed = nullptr);
// Reads up to the end of a reply's head (the blank line), the close of the
// connection or the timeout; what came is returned.
std::string ReadHead(int fd, std::chrono::milliseconds timeout);

struct HttpReply {
    int status = 0; // 0: no status line came
    std::string headers;
    std::string body;
    bool closed = false; // the server closed the connection
    std::string raw;     // every byte that came
    std::string Header(const std::string& name) const;
};
// Sends raw over a new connection and reads the reply to the end.
HttpReply Exchange(uint16_t port, const std::string& raw,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10),
                   const std::string& source = "");
// A plain HTTP/1.0 request (the server closes after the reply).
HttpReply Get(uint16_t port, const std::string& path, const std::string& method = "GET",
              const std::string& source = "");

// cvl-web with the test's installation, listening on a free port of the
// loopback; its standard output and error go to files.
class WebProcess {
public:
    WebProcess() = default;
    // Kills it if it still runs.
    ~WebProcess();
    WebProcess(const WebProcess&) = delete;
    WebProcess& operator=(const WebProcess&) = delete;

    // Starts it with the arguments (--listen 127.0.0.1:0 unless they name
    // one) and waits for its "serving" line.
    bool Start(const std::vector<std::string>& arguments = {});
    // Start, then waits until it shows the camera live.
    bool StartLive(const std::vector<std::string>& arguments = {});
    pid_t Pid() const { return m_pid; }
    uint16_t Port() const { return m_port; }
    std::string Output() const;
    std::string Errors() const;
    // The exit status after signal, or -1 when it did not end in time.
    int Signal(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // Its resident memory in KiB (VmRSS).
    long RssKiB() const;
    // The value of a number in /stats.json, -1 when it is not there.
    double Stat(const std::string& key) const;
    std::string State() const;

private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_output;
    std::string m_errors;
};

// One viewer of /stream.mjpeg on a thread of its own: parses the multipart
// stream part by part and keeps the sequence numbers of the frames' stamps.
class StreamViewer {
public:
    explicit StreamViewer(uint16_t port);
    ~StreamViewer();
    StreamViewer(const StreamViewer&) = delete;
    StreamViewer& operator=(const StreamViewer&) = delete;

    // Reads for the given time, then hangs up.
    void Watch(std::chrono::milliseconds duration);
    void Join();

    int Parts() const { return m_parts; }
    int Distinct() const { return static_cast<int>(m_sequences.size()); }
    bool Malformed() const { return m_malformed; }
    std::string ContentType() const { return m_contentType; }
    double Seconds() const { return m_seconds; }

private:
    void Run(std::chrono::milliseconds duration);

    uint16_t m_port;
    std::thread m_thread;
    std::atomic<int> m_parts{0};
    std::set<uint64_t> m_sequences;
    bool m_malformed = false;
    std::string m_contentType;
    double m_seconds = 0;
};

} // namespace cvl::test

#endif
