// Command-line options of the browser viewer cvl-web.
#ifndef CVL_HOSTS_WEB_WEBOPTIONS_H
#define CVL_HOSTS_WEB_WEBOPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace cvl::web {

// An address to listen on: numeric IPv4 ("127.0.0.1") or IPv6 ("::1", given
// in brackets on the command line), and a port (0: any free port).
struct ListenAddress {
    std::string host = "127.0.0.1";
    uint16_t port = 8080;
    bool ipv6 = false;

    // True for 127.0.0.0/8 and ::1: only this machine can connect.
    bool IsLoopback() const;
    // "127.0.0.1:8080", "[::1]:8080".
    std::string Text() const;
};

// Parses "ADDR:PORT" ("127.0.0.1:8080", "0.0.0.0:0", "[::1]:8080"). Host
// names are refused: the address is exactly what the socket binds to.
bool ParseListenAddress(const std::string& text, ListenAddress& address);

struct WebOptions {
    enum class Mode { Port, Sandbox };

    ListenAddress listen;
    Mode mode = Mode::Port;
    bool startSandbox = false;
    int rate = 100;              // GetFrame calls per second
    bool settingsRemote = false; // camera settings for other machines too
    bool help = false;
};

// Parses the arguments after the program name; values after a blank or "=".
// Returns false with a one-line reason in error.
bool ParseWebOptions(const std::vector<std::string>& args, WebOptions& options, std::string& error);

// The usage text, naming the program `program`.
std::string WebUsage(const std::string& program = "cvl-web");

} // namespace cvl::web

#endif
