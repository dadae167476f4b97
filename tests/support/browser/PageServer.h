// A small HTTP server on the loopback for pages that tests open in a
// browser: it serves the files it was given, keeps what pages POST to
// /report, and answers GET /hold only once the test releases it (a page that
// loads /hold finishes loading then, which is when a headless browser takes
// its screenshot). One thread accepts, one thread per connection answers.
#ifndef CVL_TESTS_SUPPORT_BROWSER_PAGESERVER_H
#define CVL_TESTS_SUPPORT_BROWSER_PAGESERVER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cvl::test {

// One POST to /report: the body's "name=value" lines.
struct PageReport {
    std::map<std::string, std::string> fields;
    std::string Get(const std::string& name) const;
    // The field as a number, or fallback when it is missing or not one.
    double Number(const std::string& name, double fallback = -1) const;
};

class PageServer {
public:
    PageServer() = default;
    // Stops it.
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    // Listens on 127.0.0.1 at a free port.
    bool Start();
    void Stop();
    uint16_t Port() const { return m_port; }
    // http://127.0.0.1:PORT followed by pathAndQuery ("/page.html?x=1").
    std::string Url(const std::string& pathAndQuery) const;

    void AddFile(const std::string& path, const std::string& contentType, const std::string& body);
    // What pages reported so far, in order of arrival.
    std::vector<PageReport> Reports() const;
    // Until a report arriving after the first `after` reports satisfies
    // accept; that report, or an empty one after timeout.
    PageReport WaitForReport(const std::function<bool(const PageReport&)>& accept,
                             std::chrono::milliseconds timeout, size_t after = 0) const;
    // Lets every waiting and later GET /hold be answered.
    void ReleaseHold();
    // Holds later GET /hold again, for a page that is loaded once more.
    void Hold();

private:
    void Accept();
    void Answer(int connection);

    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    uint16_t m_port = 0;
    std::thread m_acceptor;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::thread> m_connections;
    std::map<std::string, std::pair<std::string, std::string>> m_files;
    std::vector<PageReport> m_reports;
    bool m_released = false;
    bool m_stopping = false;
};

} // namespace cvl::test

#endif
