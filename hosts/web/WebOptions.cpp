#include "WebOptions.h"

#include "cvlhost/HostOptions.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace cvl::web {

namespace {

constexpr int kMaxRate = 1000;

} // namespace

bool ListenAddress::IsLoopback() const {
    if (ipv6) {
        in6_addr bytes;
        return inet_pton(AF_INET6, host.c_str(), &bytes) == 1 &&
               std::memcmp(&bytes, &in6addr_loopback, sizeof bytes) == 0;
    }
    in_addr bytes;
    return inet_pton(AF_INET, host.c_str(), &bytes) == 1 && (ntohl(bytes.s_addr) >> 24) == 127;
}

std::string ListenAddress::Text() const {
    const std::string shown = ipv6 ? "[" + host + "]" : host;
    return shown + ":" + std::to_string(port);
}

bool ParseListenAddress(const std::string& text, ListenAddress& address) {
    ListenAddress parsed;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        parsed.host = text.substr(1, close - 1);
        parsed.ipv6 = true;
        portText = text.substr(close + 2);
        in6_addr bytes;
        if (inet_pton(AF_INET6, parsed.host.c_str(), &bytes) != 1)
            return false;
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon)
            return false;
        parsed.host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        in_addr bytes;
        if (inet_pton(AF_INET, parsed.host.c_str(), &bytes) != 1)
            return false;
    }
    long port = 0;
    if (!host::ParseWholeNumber(portText, 0, 65535, port))
        return false;
    parsed.port = static_cast<uint16_t>(port);
    address = parsed;
    return true;
}

bool ParseWebOptions(const std::vector<std::string>& args, WebOptions& options,
                     std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const size_t at = i;
        std::string name;
        std::string value;
        if (!host::NextOption(args, i, {"--listen", "--mode", "--rate"}, name, value, error))
            return false;

        if (name == "--listen") {
            if (!ParseListenAddress(value, options.listen)) {
                error = "--listen needs a numeric ADDRESS:PORT such as 127.0.0.1:8080 or "
                        "[::1]:8080, not \"" +
                        value + "\"";
                return false;
            }
        } else if (name == "--mode") {
            if (value == "port") {
                options.mode = WebOptions::Mode::Port;
            } else if (value == "sandbox") {
                options.mode = WebOptions::Mode::Sandbox;
            } else {
                error = "--mode is port or sandbox, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--rate") {
            long rate = 0;
            if (!host::ParseWholeNumber(value, 1, kMaxRate, rate)) {
                error = "--rate needs a whole number from 1 to " + std::to_string(kMaxRate) +
                        ", not \"" + value + "\"";
                return false;
            }
            options.rate = static_cast<int>(rate);
        } else if (name == "--settings-remote") {
            options.settingsRemote = true;
        } else if (name == "--start-sandbox") {
            options.startSandbox = true;
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else {
            error = "unknown option \"" + args[at] + "\"";
            return false;
        }
    }
    return true;
}

std::string WebUsage(const std::string& program) {
    return "usage: " + program +
           " [options]\n"
           "  --listen ADDR:PORT  where to serve (default 127.0.0.1:8080; port 0: any free\n"
           "                      port). Another address than the loopback serves the camera\n"
           "                      to the network without authentication.\n"
           "  --mode port|sandbox frames from the frame port or the sandbox frame files\n"
           "                      (default port)\n"
           "  --start-sandbox     send StartStreamingSandboxMode first, StopStreaming at the end\n"
           "  --rate N            GetFrame calls per second (default 100)\n"
           "  --settings-remote   serve the camera's settings to other machines too (by\n"
           "                      default only this machine may read and change them)\n"
           "Pages: / (the viewer), /stream.mjpeg, /snapshot.jpg, /stats.json, /settings\n";
}

} // namespace cvl::web
