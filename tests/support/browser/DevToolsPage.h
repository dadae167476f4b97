// One page in headless Chromium driven over its DevTools pipe, as a person
// would use it: open a URL, click an element with the mouse, and run a
// script in the page to read what it shows or to pick a menu entry (a
// native menu popup is not drawn headless). The browser runs in a process
// group of its own with a fresh profile and ends with the object.
#ifndef CVL_TESTS_SUPPORT_BROWSER_DEVTOOLSPAGE_H
#define CVL_TESTS_SUPPORT_BROWSER_DEVTOOLSPAGE_H

#include "ChildProcess.h"

#include <chrono>
#include <string>

namespace cvl::test {

class DevToolsPage {
public:
    DevToolsPage() = default;
    // Closes it.
    ~DevToolsPage() { Close(); }
    DevToolsPage(const DevToolsPage&) = delete;
    DevToolsPage& operator=(const DevToolsPage&) = delete;

    // Starts Chromium and opens url in a page of width x height; true once
    // the page has loaded.
    bool Open(const std::string& url, int width = 1100, int height = 900);
    // Runs a JavaScript expression in the page (a promise is waited for) and
    // gives its value as JSON text ("\"0\"", "[1,2]", "true"); false when it
    // threw or no answer came.
    bool Evaluate(const std::string& expression, std::string& json);
    // The expression's value when it is a string, "" otherwise.
    std::string Text(const std::string& expression);
    // Scrolls the element with id into view and clicks its middle with the
    // left mouse button.
    bool Click(const std::string& id);
    void Close();
    std::string Log() const { return m_process.Log(); }

private:
    // Sends a command (params a JSON object; to the page's session when
    // attached) and waits for its reply: the reply's message.
    bool Command(const std::string& method, const std::string& params, std::string& reply,
                 bool toPage = true);
    bool ReadMessage(std::string& message, std::chrono::steady_clock::time_point deadline);

    ChildProcess m_process;
    int m_toBrowser = -1;
    int m_fromBrowser = -1;
    std::string m_received;
    std::string m_session;
    int m_nextId = 0;
};

} // namespace cvl::test

#endif
