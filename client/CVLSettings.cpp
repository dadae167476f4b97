#include "CVLSettings.h"

#include "RequestSender.h"
#include "RequestText.h"

#include <chrono>
#include <cstdlib>
#include <unistd.h>

namespace {

// How often a waiting call asks for the outcome: often enough that a change
// is seen within a frame or two, rarely enough to cost the service nothing.
constexpr useconds_t kPollMicroseconds = 20000;

constexpr char kUnreachable[] = "the Corvalink service is not running or does not answer";

// Splits text at every separator; an empty text gives no parts.
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    if (text.empty())
        return parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

bool ParseTicket(const std::string& text, uint64_t& ticket) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    ticket = std::strtoull(text.c_str(), nullptr, 10);
    return ticket > 0;
}

} // namespace

CVLSettings::CVLSettings() : m_senderId(std::to_string(getpid())) {}

bool CVLSettings::Request(const std::string& command, std::string& data, std::string& body,
                          std::string& error) {
    std::string reply;
    if (!SendRequestForReply(BuildRequestText(m_senderId, command), &reply)) {
        error = kUnreachable;
        return false;
    }
    const size_t lineEnd = reply.find('\n');
    const std::string first = reply.substr(0, lineEnd);
    body = lineEnd == std::string::npos ? std::string() : reply.substr(lineEnd + 1);
    if (first == "ok" || first.compare(0, 3, "ok ") == 0) {
        data = first.size() > 3 ? first.substr(3) : std::string();
        return true;
    }
    if (first.compare(0, 6, "error ") == 0)
        error = first.substr(6);
    else if (first == "success")
        error = "the service does not know camera settings (an older version runs)";
    else
        error = "the service gave an answer that this library does not understand";
    return false;
}

bool CVLSettings::List(std::vector<CVLSetting>& settings, std::string& error) {
    settings.clear();
    std::string data;
    std::string body;
    if (!Request("Settings", data, body, error))
        return false;
    for (const std::string& line : Split(body, '\n')) {
        const std::vector<std::string> fields = Split(line, '\t');
        if (fields.size() != 3)
            continue;
        CVLSetting setting;
        setting.name = fields[0];
        setting.value = fields[1];
        setting.allowed = Split(fields[2], ',');
        settings.push_back(std::move(setting));
    }
    return true;
}

bool CVLSettings::Get(const std::string& name, CVLSetting& setting, std::string& error) {
    std::vector<CVLSetting> settings;
    if (!List(settings, error))
        return false;
    for (const CVLSetting& candidate : settings) {
        if (candidate.name == name) {
            setting = candidate;
            return true;
        }
    }
    error = "no setting " + name + " on this camera; settings:";
    for (size_t i = 0; i < settings.size(); ++i)
        error += (i ? ", " : " ") + settings[i].name;
    return false;
}

uint64_t CVLSettings::SubmitSet(const std::string& name, const std::string& value,
                                std::string& error) {
    return Submit("Set " + name + " " + value, error);
}

uint64_t CVLSettings::SubmitAction(const std::string& action, std::string& error) {
    return Submit("Action " + action, error);
}

uint64_t CVLSettings::Submit(const std::string& command, std::string& error) {
    std::string data;
    std::string body;
    if (!Request(command, data, body, error))
        return 0;
    uint64_t ticket = 0;
    if (!ParseTicket(data, ticket)) {
        error = "the service gave an answer that this library does not understand";
        return 0;
    }
    return ticket;
}

CVLSettings::Outcome CVLSettings::GetOutcome(uint64_t ticket, std::string& error) {
    std::string data;
    std::string body;
    if (!Request("Outcome " + std::to_string(ticket), data, body, error))
        return Outcome::Failed;
    if (data == "done")
        return Outcome::Done;
    if (data == "pending")
        return Outcome::Pending;
    error = "the service gave an answer that this library does not understand";
    return Outcome::Failed;
}

bool CVLSettings::Wait(uint64_t ticket, std::string& error, int timeoutMs) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        const Outcome outcome = GetOutcome(ticket, error);
        if (outcome == Outcome::Done)
            return true;
        if (outcome == Outcome::Failed)
            return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            error =
                "the camera did not confirm the change within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
        usleep(kPollMicroseconds);
    }
}

bool CVLSettings::Set(const std::string& name, const std::string& value, std::string& error,
                      int timeoutMs) {
    const uint64_t ticket = SubmitSet(name, value, error);
    return ticket != 0 && Wait(ticket, error, timeoutMs);
}

bool CVLSettings::Act(const std::string& action, std::string& error, int timeoutMs) {
    const uint64_t ticket = SubmitAction(action, error);
    return ticket != 0 && Wait(ticket, error, timeoutMs);
}

bool CVLSettings::Changes(uint64_t& changes) {
    std::string data;
    std::string body;
    std::string error;
    if (!Request("SettingsChanges", data, body, error))
        return false;
    if (data.empty() || data.find_first_not_of("0123456789") != std::string::npos)
        return false;
    changes = std::strtoull(data.c_str(), nullptr, 10);
    return true;
}
