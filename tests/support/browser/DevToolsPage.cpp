#include "DevToolsPage.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace cvl::test {

namespace {

constexpr std::chrono::seconds kReplyTimeout(60);
// Above the descriptor numbers the pipe takes in the browser (3 and 4).
constexpr int kLowestPassed = 10;

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

// The JSON string after "key": in message, unescaped; "" when none.
std::string StringField(const std::string& message, const std::string& key) {
    const std::string marker = "\"" + key + "\":\"";
    size_t at = message.find(marker);
    if (at == std::string::npos)
        return "";
    std::string out;
    for (at += marker.size(); at < message.size() && message[at] != '"'; ++at) {
        if (message[at] != '\\') {
            out += message[at];
            continue;
        }
        if (++at >= message.size())
            break;
        const char c = message[at];
        if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'u' && at + 4 < message.size()) {
            const long code = std::strtol(message.substr(at + 1, 4).c_str(), nullptr, 16);
            out += code < 0x80 ? static_cast<char>(code) : '?';
            at += 4;
        } else
            out += c;
    }
    return out;
}

// A pipe end moved above kLowestPassed, close-on-exec.
int Raised(int fd) {
    const int raised = fcntl(fd, F_DUPFD_CLOEXEC, kLowestPassed);
    close(fd);
    return raised;
}

} // namespace

bool DevToolsPage::Open(const std::string& url, int width, int height) {
    Close();
    int toBrowser[2];
    int fromBrowser[2];
    if (pipe2(toBrowser, O_CLOEXEC) != 0)
        return false;
    if (pipe2(fromBrowser, O_CLOEXEC) != 0) {
        close(toBrowser[0]);
        close(toBrowser[1]);
        return false;
    }
    const int browserReads = Raised(toBrowser[0]);
    const int browserWrites = Raised(fromBrowser[1]);
    m_toBrowser = toBrowser[1];
    m_fromBrowser = fromBrowser[0];
    const std::string folder = MakeFolder("devtools-page");
    const bool started = m_process.Start(
        {"chromium", "--headless=new", "--no-sandbox", "--remote-debugging-pipe",
         "--user-data-dir=" + folder + "/profile", "--no-first-run", "--no-default-browser-check",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-breakpad", "--disable-quic", "--disable-gpu",
         "--hide-scrollbars", "--mute-audio",
         "--window-size=" + std::to_string(width) + "," + std::to_string(height), "about:blank"},
        ChildProcess::EnvironmentWith({"HOME=" + folder}), folder + "/chromium.log",
        {{browserReads, 3}, {browserWrites, 4}});
    close(browserReads);
    close(browserWrites);
    std::string reply;
    if (!started || !Command("Target.createTarget", "{\"url\":" + Quoted(url) + "}", reply, false))
        return false;
    const std::string target = StringField(reply, "targetId");
    if (target.empty() ||
        !Command("Target.attachToTarget", "{\"targetId\":" + Quoted(target) + ",\"flatten\":true}",
                 reply, false))
        return false;
    m_session = StringField(reply, "sessionId");
    return !m_session.empty() && WaitFor([&] { return Text("document.readyState") == "complete"; },
                                         std::chrono::seconds(60));
}

bool DevToolsPage::Evaluate(const std::string& expression, std::string& json) {
    std::string reply;
    const std::string wrapped = "(async () => JSON.stringify(await (" + expression + ")))()";
    if (!Command("Runtime.evaluate",
                 "{\"expression\":" + Quoted(wrapped) +
                     ",\"awaitPromise\":true,\"returnByValue\":true}",
                 reply) ||
        reply.find("\"exceptionDetails\"") != std::string::npos)
        return false;
    json = StringField(reply, "value");
    return true;
}

std::string DevToolsPage::Text(const std::string& expression) {
    std::string json;
    if (!Evaluate(expression, json) || json.size() < 2 || json.front() != '"')
        return "";
    return StringField("\"v\":" + json, "v");
}

bool DevToolsPage::Click(const std::string& id) {
    std::string point;
    if (!Evaluate("(() => { const e = document.getElementById(" + Quoted(id) +
                      "); e.scrollIntoView({block: 'center'}); const r = "
                      "e.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / "
                      "2]; })()",
                  point) ||
        point.size() < 3)
        return false;
    const size_t comma = point.find(',');
    if (comma == std::string::npos)
        return false;
    const std::string x = point.substr(1, comma - 1);
    const std::string y = point.substr(comma + 1, point.size() - comma - 2);
    std::string reply;
    for (const char* type : {"mousePressed", "mouseReleased"}) {
        if (!Command("Input.dispatchMouseEvent",
                     std::string("{\"type\":\"") + type + "\",\"x\":" + x + ",\"y\":" + y +
                         ",\"button\":\"left\",\"clickCount\":1}",
                     reply))
            return false;
    }
    return true;
}

void DevToolsPage::Close() {
    if (m_toBrowser >= 0)
        close(m_toBrowser);
    if (m_fromBrowser >= 0)
        close(m_fromBrowser);
    m_toBrowser = m_fromBrowser = -1;
    m_process.Stop(std::chrono::seconds(5));
    m_received.clear();
    m_session.clear();
}

bool DevToolsPage::Command(const std::string& method, const std::string& params, std::string& reply,
                           bool toPage) {
    if (m_toBrowser < 0)
        return false;
    const int id = ++m_nextId;
    std::string message =
        "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
    if (toPage)
        message += ",\"sessionId\":" + Quoted(m_session);
    message += "}";
    message += '\0';
    for (size_t sent = 0; sent < message.size();) {
        const ssize_t count = write(m_toBrowser, message.data() + sent, message.size() - sent);
        if (count <= 0)
            return false;
        sent += static_cast<size_t>(count);
    }
    // Events come in between; the reply carries the command's id.
    const std::string marker = "{\"id\":" + std::to_string(id) + ",";
    const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
    while (ReadMessage(reply, deadline)) {
        if (reply.compare(0, marker.size(), marker) == 0)
            return reply.find("\"error\":{") == std::string::npos ||
                   reply.find("\"result\":") != std::string::npos;
    }
    return false;
}

bool DevToolsPage::ReadMessage(std::string& message,
                               std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const size_t end = m_received.find('\0');
        if (end != std::string::npos) {
            message = m_received.substr(0, end);
            m_received.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd ready{m_fromBrowser, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[65536];
        const ssize_t count = read(m_fromBrowser, buffer, sizeof buffer);
        if (count <= 0)
            return false;
        m_received.append(buffer, static_cast<size_t>(count));
    }
}

} // namespace cvl::test
