#include "SettingsApi.h"

#include "CVLSettings.h"
#include "HttpReply.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

namespace cvl::web {

namespace {

constexpr char kPrefix[] = "/settings";
constexpr char kOutcomes[] = "outcomes/";
// How often a change that waits asks for its outcome.
constexpr useconds_t kPollMicroseconds = 20000;
// The longest value or action text passed on; the camera's are short.
constexpr size_t kMaxValue = 64;
constexpr char kUnreachable[] = "the Corvalink service is not running or does not answer";

// The body of a change while it comes in.
struct Upload {
    std::string path; // after "/settings/"
    std::string body;
    bool tooLarge = false;
};

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string SettingJson(const CVLSetting& setting) {
    std::string json = "{\"name\":" + JsonString(setting.name) +
                       ",\"value\":" + JsonString(setting.value) + ",\"allowed\":[";
    for (size_t i = 0; i < setting.allowed.size(); ++i)
        json += (i ? "," : "") + JsonString(setting.allowed[i]);
    return json + "]}";
}

int Send(MHD_Connection* connection, unsigned status, const std::string& json,
         const char* header = nullptr, const std::string& value = "") {
    const std::string text = json + "\n";
    MHD_Response* response = MHD_create_response_from_buffer(
        text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
    if (response && header)
        MHD_add_response_header(response, header, value.c_str());
    return SendResponse(connection, status, response, "application/json");
}

int SendError(MHD_Connection* connection, unsigned status, const std::string& message) {
    return Send(connection, status, "{\"error\":" + JsonString(message) + "}");
}

int MethodNotAllowed(MHD_Connection* connection, const char* allowed) {
    return Send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "{\"error\":\"method not allowed\"}",
                MHD_HTTP_HEADER_ALLOW, allowed);
}

const char* Header(MHD_Connection* connection, const char* name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

// A value or action as the service takes it: printable, no blanks other
// than single ones between an action's words, not too long.
bool PlainText(const std::string& text, bool words) {
    if (text.empty() || text.size() > kMaxValue || text.front() == ' ' || text.back() == ' ')
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x21 && !(words && c == ' ' && text[i - 1] != ' '))
            return false;
        if (c == 0x7f)
            return false;
    }
    return true;
}

bool ParseTicket(const std::string& text, uint64_t& ticket) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    ticket = std::strtoull(text.c_str(), nullptr, 10);
    return ticket > 0;
}

std::string TicketJson(const char* outcome, uint64_t ticket) {
    return std::string("{\"outcome\":\"") + outcome + "\",\"ticket\":" + std::to_string(ticket) +
           "}";
}

// A JSON string at text[at] (the opening quote) into out; at ends after it.
bool ParseString(const std::string& text, size_t& at, std::string& out) {
    if (at >= text.size() || text[at] != '"')
        return false;
    out.clear();
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++at >= text.size())
            return false;
        switch (text[at]) {
        case '"':
        case '\\':
        case '/':
            out += text[at];
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'u': {
            // Kept as a marker that no setting takes: values are ASCII.
            if (at + 4 >= text.size())
                return false;
            for (int i = 1; i <= 4; ++i)
                if (!std::isxdigit(static_cast<unsigned char>(text[at + i])))
                    return false;
            out += '\x01';
            at += 4;
            break;
        }
        default:
            return false;
        }
    }
    return false;
}

void SkipBlanks(const std::string& text, size_t& at) {
    while (at < text.size() && std::strchr(" \t\r\n", text[at]) && text[at] != '\0')
        ++at;
}

} // namespace

bool SettingsApi::Handles(const std::string& url) {
    const size_t length = sizeof kPrefix - 1;
    return url.compare(0, length, kPrefix) == 0 && (url.size() == length || url[length] == '/');
}

bool SettingsApi::IsLoopbackPeer(const sockaddr* peer) {
    if (!peer)
        return false;
    if (peer->sa_family == AF_INET) {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(peer);
        return (ntohl(in4->sin_addr.s_addr) >> 24) == 127;
    }
    if (peer->sa_family == AF_INET6) {
        const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&address))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
    }
    return false;
}

bool SettingsApi::IsLoopbackHost(const std::string& host) {
    std::string name = host;
    if (!name.empty() && name[0] == '[') {
        const size_t close = name.find(']');
        if (close == std::string::npos)
            return false;
        name = name.substr(1, close - 1);
        return name == "::1";
    }
    name = name.substr(0, name.find(':'));
    if (strcasecmp(name.c_str(), "localhost") == 0)
        return true;
    in_addr bytes;
    return inet_pton(AF_INET, name.c_str(), &bytes) == 1 && (ntohl(bytes.s_addr) >> 24) == 127;
}

bool SettingsApi::ParseObject(const std::string& json, std::map<std::string, std::string>& fields) {
    fields.clear();
    size_t at = 0;
    SkipBlanks(json, at);
    if (at >= json.size() || json[at++] != '{')
        return false;
    SkipBlanks(json, at);
    if (at < json.size() && json[at] == '}') {
        ++at;
    } else {
        for (;;) {
            std::string key;
            std::string value;
            SkipBlanks(json, at);
            if (!ParseString(json, at, key))
                return false;
            SkipBlanks(json, at);
            if (at >= json.size() || json[at++] != ':')
                return false;
            SkipBlanks(json, at);
            if (at < json.size() && json[at] == '"') {
                if (!ParseString(json, at, value))
                    return false;
            } else {
                const size_t end = json.find_first_of(",} \t\r\n", at);
                value = json.substr(at, end == std::string::npos ? std::string::npos : end - at);
                char* stop = nullptr;
                if (value.empty() ||
                    value.find_first_not_of("+-.0123456789eE") != std::string::npos)
                    return false;
                std::strtod(value.c_str(), &stop);
                if (*stop != '\0')
                    return false;
                at += value.size();
            }
            fields[key] = value;
            SkipBlanks(json, at);
            if (at < json.size() && json[at] == ',') {
                ++at;
                continue;
            }
            if (at < json.size() && json[at] == '}') {
                ++at;
                break;
            }
            return false;
        }
    }
    SkipBlanks(json, at);
    return at == json.size();
}

unsigned SettingsApi::StatusFor(const std::string& error) {
    const auto has = [&](const char* part) { return error.find(part) != std::string::npos; };
    const auto starts = [&](const char* part) { return error.rfind(part, 0) == 0; };
    if (starts("unknown setting") || starts("this camera has no setting") ||
        starts("no setting ") || starts("unknown ticket"))
        return MHD_HTTP_NOT_FOUND;
    if (has(" cannot be ") || starts("unknown action"))
        return MHD_HTTP_BAD_REQUEST;
    if (starts("too many camera actions"))
        return MHD_HTTP_TOO_MANY_REQUESTS;
    if (starts("no camera connected") || starts("replaced by a newer value") ||
        starts("the camera stopped streaming") || starts("the camera refused"))
        return MHD_HTTP_CONFLICT;
    if (starts("the service is starting") || starts("the camera is busy") ||
        has("service is not running"))
        return MHD_HTTP_SERVICE_UNAVAILABLE;
    return MHD_HTTP_BAD_GATEWAY;
}

int SettingsApi::Begin(MHD_Connection* connection, const std::string& url,
                       const std::string& method, void** state) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!m_remote && !IsLoopbackPeer(info ? info->client_addr : nullptr))
        return SendError(connection, MHD_HTTP_FORBIDDEN,
                         "camera settings are served to this machine only; start cvl-web "
                         "with --settings-remote to allow other machines");
    const char* host = Header(connection, MHD_HTTP_HEADER_HOST);
    if (!m_remote && host && !IsLoopbackHost(host))
        return SendError(connection, MHD_HTTP_FORBIDDEN,
                         "camera settings are served under the loopback address only");
    // A page of another site may send requests here from the user's browser;
    // its Origin is not this server's.
    const char* origin = Header(connection, "Origin");
    if (origin && (!host || std::string(origin) != std::string("http://") + host))
        return SendError(connection, MHD_HTTP_FORBIDDEN,
                         "camera settings are changed from cvl-web's own page only");

    const std::string path = url.size() > sizeof kPrefix ? url.substr(sizeof kPrefix) : "";
    const bool get = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
    const bool readOnly = path.empty() || path == "changes" || path.rfind(kOutcomes, 0) == 0;
    if (get && path != "actions")
        return Get(connection, path);
    if (method != MHD_HTTP_METHOD_POST || readOnly)
        return MethodNotAllowed(connection, readOnly            ? "GET, HEAD"
                                            : path == "actions" ? "POST"
                                                                : "GET, HEAD, POST");

    const char* type = Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
    if (!type || strncasecmp(type, "application/json", 16) != 0)
        return SendError(connection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                         "send the change as application/json");
    const char* length = Header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length && std::strtoull(length, nullptr, 10) > kMaxBody)
        return SendError(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                         "a change is at most " + std::to_string(kMaxBody) + " bytes");
    *state = new Upload{path, std::string(), false};
    return MHD_YES;
}

int SettingsApi::Continue(MHD_Connection* connection, const char* upload, size_t* uploadSize,
                          void* state) {
    auto* body = static_cast<Upload*>(state);
    if (*uploadSize > 0) {
        if (body->body.size() + *uploadSize > kMaxBody)
            body->tooLarge = true;
        else
            body->body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    if (body->tooLarge)
        return SendError(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                         "a change is at most " + std::to_string(kMaxBody) + " bytes");
    return Change(connection, body->path, body->body);
}

void SettingsApi::Release(void* state) {
    delete static_cast<Upload*>(state);
}

int SettingsApi::Get(MHD_Connection* connection, const std::string& path) {
    CVLSettings settings;
    std::string error;
    uint64_t changes = 0;
    if (path == "changes") {
        if (!settings.Changes(changes))
            return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE, kUnreachable);
        return Send(connection, MHD_HTTP_OK, "{\"changes\":" + std::to_string(changes) + "}");
    }
    if (path.rfind(kOutcomes, 0) == 0) {
        uint64_t ticket = 0;
        if (!ParseTicket(path.substr(sizeof kOutcomes - 1), ticket))
            return SendError(connection, MHD_HTTP_NOT_FOUND, "no such ticket");
        switch (settings.GetOutcome(ticket, error)) {
        case CVLSettings::Outcome::Done:
            return Send(connection, MHD_HTTP_OK, TicketJson("done", ticket));
        case CVLSettings::Outcome::Pending:
            return Send(connection, MHD_HTTP_ACCEPTED, TicketJson("pending", ticket));
        case CVLSettings::Outcome::Failed:
            break;
        }
        return SendError(connection, StatusFor(error), error);
    }
    if (!path.empty()) {
        CVLSetting setting;
        if (!settings.Get(path, setting, error))
            return SendError(connection, StatusFor(error), error);
        return Send(connection, MHD_HTTP_OK, SettingJson(setting));
    }
    // The counter first: a list read after it is at least as new.
    std::vector<CVLSetting> list;
    if (!settings.Changes(changes))
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE, kUnreachable);
    if (!settings.List(list, error))
        return SendError(connection, StatusFor(error), error);
    std::string json = "{\"changes\":" + std::to_string(changes) + ",\"settings\":[";
    for (size_t i = 0; i < list.size(); ++i)
        json += (i ? "," : "") + SettingJson(list[i]);
    return Send(connection, MHD_HTTP_OK, json + "]}");
}

int SettingsApi::Change(MHD_Connection* connection, const std::string& path,
                        const std::string& body) {
    std::map<std::string, std::string> fields;
    if (!ParseObject(body, fields))
        return SendError(connection, MHD_HTTP_BAD_REQUEST, "the body is not a JSON object");
    const bool action = path == "actions";
    const char* key = action ? "action" : "value";
    const auto found = fields.find(key);
    if (found == fields.end())
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         std::string("the body needs a \"") + key + "\"");
    if (!PlainText(found->second, action))
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         std::string("the ") + key +
                             " must be printable ASCII without blanks, at most " +
                             std::to_string(kMaxValue) + " characters");
    if (!action && !PlainText(path, false))
        return SendError(connection, MHD_HTTP_NOT_FOUND, "unknown setting");

    CVLSettings settings;
    std::string error;
    const uint64_t ticket = action ? settings.SubmitAction(found->second, error)
                                   : settings.SubmitSet(path, found->second, error);
    if (ticket == 0)
        return SendError(connection, StatusFor(error), error);
    // A bounded wait: most changes are done within it; the rest are asked
    // about by their ticket, so no connection's thread waits long.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
        const CVLSettings::Outcome outcome = settings.GetOutcome(ticket, error);
        if (outcome == CVLSettings::Outcome::Done)
            return Send(connection, MHD_HTTP_OK, TicketJson("done", ticket));
        if (outcome == CVLSettings::Outcome::Failed)
            return SendError(connection, StatusFor(error), error);
        if (std::chrono::steady_clock::now() >= deadline)
            return Send(connection, MHD_HTTP_ACCEPTED, TicketJson("pending", ticket),
                        MHD_HTTP_HEADER_LOCATION,
                        std::string(kPrefix) + "/" + kOutcomes + std::to_string(ticket));
        usleep(kPollMicroseconds);
    }
}

} // namespace cvl::web
