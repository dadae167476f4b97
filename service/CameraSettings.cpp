#include "CameraSettings.h"

#include "Camera.h"
#include "LogText.h"
#include "Logger.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Refusals closer together than this belong to one burst and one log line.
constexpr std::chrono::seconds kBurstGap(1);

constexpr char kNoCamera[] =
    "no camera connected; settings can be read and changed while a client streams";
constexpr char kStopped[] = "the camera stopped streaming before the change";
constexpr char kReplaced[] = "replaced by a newer value";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string Ok(const std::string& data) {
    return "ok " + data + "\n";
}

std::string Error(const std::string& message) {
    return "error " + message + "\n";
}

// A hint for a value that is not of the setting's form, where the camera
// lists no values to choose from.
const char* FormHint(int id) {
    switch (id) {
    case kSettingZoomPosition:
        return "write it as X,Y with fractions of the picture from 0 to 1, e.g. 0.5,0.5";
    case kSettingLiveViewSize:
        return "write it as WIDTHxHEIGHT, e.g. 1024x768";
    case kSettingShutterSpeed:
        return "write it in seconds, e.g. 1/60 or 0.5 or 2";
    case kSettingExposureCompensation:
        return "write it in stops, e.g. +1.3 or -0.7";
    default:
        return "write it as the camera lists its values";
    }
}

} // namespace

std::string CameraSettings::Answer(const std::string& command) {
    // The status lock is let go before this one is taken.
    const bool cameraReady = m_pCamera->GetStatus() >= Camera::SessionOpen;
    pthread_mutex_lock(&m_mutex);
    std::string reply;
    const bool connected = Connected(cameraReady);
    if (command == "SettingsChanges")
        reply = Ok(std::to_string(m_changes));
    else if (StartsWith(command, "Outcome "))
        reply = AnswerOutcome(command.substr(8));
    else if (!connected)
        reply = command == "Settings" ? Error(kNoCamera) : Refuse(kNoCamera);
    else if (command == "Settings")
        reply = AnswerList();
    else if (StartsWith(command, "Set "))
        reply = AnswerSet(command.substr(4));
    else if (StartsWith(command, "Action "))
        reply = AnswerAction(command.substr(7));
    else
        reply = Error("unknown request");
    pthread_mutex_unlock(&m_mutex);
    return reply;
}

bool CameraSettings::Connected(bool cameraReady) {
    const bool connected = cameraReady && m_read;
    if (connected != m_connected) {
        m_connected = connected;
        ++m_changes;
    }
    return connected;
}

std::string CameraSettings::AnswerList() {
    std::string reply = Ok(std::to_string(m_changes));
    for (int id = 0; id < kSettingCount; ++id) {
        const Entry& entry = m_entries[id];
        if (!entry.present)
            continue;
        reply += std::string(SettingName(id)) + "\t" + FormatSettingValue(id, entry.value) + "\t";
        for (size_t i = 0; i < entry.allowed.size(); ++i)
            reply += (i ? "," : "") + FormatSettingValue(id, entry.allowed[i]);
        reply += "\n";
    }
    return reply;
}

std::string CameraSettings::AnswerSet(const std::string& arguments) {
    const size_t blank = arguments.find(' ');
    const std::string name = arguments.substr(0, blank);
    const std::string written = blank == std::string::npos ? "" : arguments.substr(blank + 1);
    const int id = FindSetting(name);
    if (id < 0)
        return Refuse("unknown setting \"" + LoggableText(name) +
                      "\"; settings: " + SettingNames());
    Entry& entry = m_entries[id];
    if (!entry.present)
        return Refuse("this camera has no setting " + name);
    uint32_t parsed = 0;
    const bool parses = ParseSettingValue(id, written, parsed);
    uint32_t value = parsed;
    bool allowed = parses && entry.allowed.empty();
    for (uint32_t candidate : entry.allowed) {
        if (parses && SettingValuesMatch(id, parsed, candidate)) {
            value = candidate;
            allowed = true;
            break;
        }
    }
    if (!allowed) {
        std::string message = name + " cannot be \"" + LoggableText(written) + "\"; ";
        if (entry.allowed.empty()) {
            message += FormHint(id);
        } else {
            message += "allowed:";
            for (size_t i = 0; i < entry.allowed.size(); ++i)
                message += (i ? ", " : " ") + FormatSettingValue(id, entry.allowed[i]);
        }
        return Refuse(message);
    }

    const uint64_t ticket = NewTicket();
    if (entry.changeWaiting) {
        SetOutcome(entry.changeTicket, true, kReplaced);
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastReplaced >= kBurstGap)
            g_logger.Log(std::string("settings: changes of ") + SettingName(id) +
                         " come faster than the camera takes them; the newest value wins");
        m_lastReplaced = now;
    }
    entry.changeWaiting = true;
    entry.change = value;
    entry.changeTicket = ticket;
    if (id == kSettingLiveViewSize) {
        m_sizeChosen = true;
        m_chosenSize = value;
    }
    if (!entry.changeQueued) {
        entry.changeQueued = true;
        m_pCamera->QueueSettingChange(id);
    }
    return Ok(std::to_string(ticket));
}

std::string CameraSettings::AnswerAction(const std::string& arguments) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= arguments.size()) {
        const size_t end = arguments.find(' ', start);
        words.push_back(arguments.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (words.size() == 2 && words[0] == "zoom")
        return AnswerSet("zoom " + words[1]);

    int32_t parameter = 0;
    bool known = words.size() == 1 && words[0] == "autofocus";
    if (!known && (words.size() == 2 || words.size() == 3) && words[0] == "focus" &&
        (words[1] == "near" || words[1] == "far")) {
        int32_t step = 1;
        if (words.size() == 3)
            step = words[2] == "1" ? 1 : words[2] == "2" ? 2 : words[2] == "3" ? 3 : 0;
        known = step != 0;
        parameter = words[1] == "near" ? ZEL_FOCUS_NEAR(step) : ZEL_FOCUS_FAR(step);
    }
    if (!known)
        return Refuse("unknown action \"" + LoggableText(arguments) +
                      "\"; actions: autofocus, focus near|far [1|2|3], zoom FACTOR");
    if (m_actions.size() >= kMaxWaitingActions)
        return Refuse("too many camera actions waiting; try again when they have run");
    const uint64_t ticket = NewTicket();
    m_actions.push_back(Action{words[0], parameter, ticket});
    m_pCamera->QueueSettingAction();
    return Ok(std::to_string(ticket));
}

std::string CameraSettings::AnswerOutcome(const std::string& arguments) {
    const bool number = !arguments.empty() && arguments.size() <= 19 &&
                        arguments.find_first_not_of("0123456789") == std::string::npos;
    const uint64_t ticket = number ? std::strtoull(arguments.c_str(), nullptr, 10) : 0;
    for (const Outcome& outcome : m_outcomes) {
        if (outcome.ticket != ticket)
            continue;
        if (!outcome.done)
            return Ok("pending");
        return outcome.reason.empty() ? Ok("done") : Error(outcome.reason);
    }
    return Error("unknown ticket " + LoggableText(arguments));
}

std::string CameraSettings::Refuse(const std::string& reason) {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastRefusal >= kBurstGap)
        g_logger.Log("settings request refused: " + reason);
    m_lastRefusal = now;
    return Error(reason);
}

uint64_t CameraSettings::NewTicket() {
    const uint64_t ticket = m_nextTicket++;
    if (m_outcomes.size() >= kMaxOutcomes)
        m_outcomes.pop_front();
    m_outcomes.push_back(Outcome{ticket, false, std::string()});
    return ticket;
}

void CameraSettings::SetOutcome(uint64_t ticket, bool done, const std::string& reason) {
    for (Outcome& outcome : m_outcomes) {
        if (outcome.ticket == ticket) {
            outcome.done = done;
            outcome.reason = reason;
            return;
        }
    }
}

void CameraSettings::Forget() {
    pthread_mutex_lock(&m_mutex);
    m_read = false;
    for (Entry& entry : m_entries) {
        entry.present = false;
        entry.allowed.clear();
        entry.readQueued = false;
    }
    m_fullReadQueued = false;
    pthread_mutex_unlock(&m_mutex);
}

bool CameraSettings::Changed(Entry& entry, bool present, uint32_t value,
                             std::vector<uint32_t> allowed) {
    const bool changed =
        entry.present != present || entry.value != value || entry.allowed != allowed;
    entry.present = present;
    entry.value = value;
    entry.allowed = std::move(allowed);
    return changed;
}

ZelError CameraSettings::ReadOne(__ZelObject* camera, int id) {
    uint32_t value = 0;
    ZelError error = ZelGetPropertyData(camera, SettingProperty(id), 0, sizeof value, &value);
    std::vector<uint32_t> allowed;
    if (error == 0) {
        ZelPropertyDesc desc = {};
        // A camera that cannot list the values takes any value of the form,
        // and refuses what it does not allow when it is set.
        if (ZelGetPropertyDesc(camera, SettingProperty(id), &desc) == 0) {
            const int32_t count = std::min<int32_t>(std::max<int32_t>(desc.numElements, 0), 128);
            for (int32_t i = 0; i < count; ++i)
                allowed.push_back(static_cast<uint32_t>(desc.propDesc[i]));
        }
    }
    pthread_mutex_lock(&m_mutex);
    Entry& entry = m_entries[id];
    entry.readQueued = false;
    if (Changed(entry, error == 0, value, std::move(allowed)))
        ++m_changes;
    pthread_mutex_unlock(&m_mutex);
    return error;
}

ZelError CameraSettings::Read(__ZelObject* camera, int id) {
    if (id >= 0) {
        const ZelError error = ReadOne(camera, id);
        return error == ZEL_ERR_PROPERTY_UNAVAILABLE ? 0 : error;
    }
    pthread_mutex_lock(&m_mutex);
    m_fullReadQueued = false;
    pthread_mutex_unlock(&m_mutex);
    for (int setting = 0; setting < kSettingCount; ++setting) {
        const ZelError error = ReadOne(camera, setting);
        if (error == ZEL_ERR_DEVICE_NOT_FOUND || error == ZEL_ERR_SESSION_NOT_OPEN)
            return error;
    }

    // The largest size the camera offers (by area), or the one a client
    // chose when the camera offers it.
    pthread_mutex_lock(&m_mutex);
    const Entry& size = m_entries[kSettingLiveViewSize];
    uint32_t wanted = size.value;
    uint64_t largest = 0;
    for (uint32_t candidate : size.allowed) {
        const uint64_t area =
            static_cast<uint64_t>(ZEL_SIZE_WIDTH(candidate)) * ZEL_SIZE_HEIGHT(candidate);
        if (area > largest) {
            largest = area;
            wanted = candidate;
        }
    }
    if (m_sizeChosen && Allowed(size.allowed, m_chosenSize))
        wanted = m_chosenSize;
    const bool apply = size.present && wanted != size.value;
    pthread_mutex_unlock(&m_mutex);
    if (apply) {
        const ZelError error =
            ZelSetPropertyData(camera, ZEL_PROP_EVF_SIZE, 0, sizeof wanted, &wanted);
        g_logger.Log("ReadSettingsCommand: live-view size " +
                     FormatSettingValue(kSettingLiveViewSize, wanted) +
                     (error == 0 ? "" : " not set, error " + std::to_string(error)));
        ReadOne(camera, kSettingLiveViewSize);
    }

    pthread_mutex_lock(&m_mutex);
    m_read = true;
    pthread_mutex_unlock(&m_mutex);
    return 0;
}

bool CameraSettings::Value(int id, uint32_t& value) {
    pthread_mutex_lock(&m_mutex);
    const bool present = m_entries[id].present;
    value = m_entries[id].value;
    pthread_mutex_unlock(&m_mutex);
    return present;
}

bool CameraSettings::TakeChange(int id, uint32_t& value, uint64_t& ticket) {
    pthread_mutex_lock(&m_mutex);
    Entry& entry = m_entries[id];
    const bool waiting = entry.changeWaiting;
    value = entry.change;
    ticket = entry.changeTicket;
    entry.changeWaiting = false;
    entry.changeQueued = false;
    pthread_mutex_unlock(&m_mutex);
    return waiting;
}

bool CameraSettings::TakeAction(std::string& action, int32_t& parameter, uint64_t& ticket) {
    pthread_mutex_lock(&m_mutex);
    const bool waiting = !m_actions.empty();
    if (waiting) {
        action = m_actions.front().name;
        parameter = m_actions.front().parameter;
        ticket = m_actions.front().ticket;
        m_actions.pop_front();
    }
    pthread_mutex_unlock(&m_mutex);
    return waiting;
}

void CameraSettings::Finish(uint64_t ticket, const std::string& reason) {
    pthread_mutex_lock(&m_mutex);
    SetOutcome(ticket, true, reason);
    pthread_mutex_unlock(&m_mutex);
}

void CameraSettings::ChangeDropped(int id) {
    uint32_t value = 0;
    uint64_t ticket = 0;
    if (TakeChange(id, value, ticket))
        Finish(ticket, kStopped);
}

void CameraSettings::ActionDropped() {
    std::string action;
    int32_t parameter = 0;
    uint64_t ticket = 0;
    if (TakeAction(action, parameter, ticket))
        Finish(ticket, kStopped);
}

bool CameraSettings::MarkReadQueued(int id) {
    pthread_mutex_lock(&m_mutex);
    bool& mark = id < 0 ? m_fullReadQueued : m_entries[id].readQueued;
    const bool queued = mark;
    mark = true;
    pthread_mutex_unlock(&m_mutex);
    return queued;
}

void CameraSettings::ReadDropped(int id) {
    pthread_mutex_lock(&m_mutex);
    (id < 0 ? m_fullReadQueued : m_entries[id].readQueued) = false;
    pthread_mutex_unlock(&m_mutex);
}

bool CameraSettings::Allowed(const std::vector<uint32_t>& allowed, uint32_t value) {
    return allowed.empty() || std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}
