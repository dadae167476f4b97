// The camera's settings and actions, through the service's request port:
// list the settings with their values and allowed values, change one and
// wait until the camera has the value, run an action (autofocus, a focus
// step), and learn of changes by a counter.
//
// Values are texts as people write them ("800", "5.6", "1/60", "+1.3",
// "daylight", "1024x768"). Settings exist while the service streams from a
// camera; otherwise the calls fail with a message that says so.
//
// Each call sends one request and reads its reply; a call that waits for
// the camera polls for the outcome. No state is kept between calls, so one
// object may be used from one thread at a time, and any number of objects
// exist side by side.
#ifndef CVL_CLIENT_CVLSETTINGS_H
#define CVL_CLIENT_CVLSETTINGS_H

#include <cstdint>
#include <string>
#include <vector>

struct CVLSetting {
    std::string name;  // "iso", "aperture", "shutter-speed", ...
    std::string value; // the current value
    // The values the camera allows now, in its order; empty when the
    // setting takes any value of its form (the zoom position).
    std::vector<std::string> allowed;
};

class CVLSettings {
public:
    // How long Set and Act wait for the camera by default.
    static constexpr int kDefaultTimeoutMs = 10000;

    CVLSettings();

    // The settings of the connected camera, in the service's order. False
    // with error set when there are none to list (no camera connected, no
    // service running).
    bool List(std::vector<CVLSetting>& settings, std::string& error);
    // One setting by name; false with error set when it is not there.
    bool Get(const std::string& name, CVLSetting& setting, std::string& error);

    // Changes one setting and waits until the camera has the value: true;
    // false with error set when it was refused, failed, was replaced by a
    // newer value, or timeoutMs passed first.
    bool Set(const std::string& name, const std::string& value, std::string& error,
             int timeoutMs = kDefaultTimeoutMs);
    // Runs an action and waits until the camera has carried it out, as Set:
    // "autofocus", "focus near", "focus far 2" (step size 1 to 3).
    bool Act(const std::string& action, std::string& error, int timeoutMs = kDefaultTimeoutMs);

    // The same without waiting, for callers with a loop of their own: the
    // ticket of the queued change (above 0), or 0 with error set when it
    // was refused.
    uint64_t SubmitSet(const std::string& name, const std::string& value, std::string& error);
    uint64_t SubmitAction(const std::string& action, std::string& error);
    enum class Outcome { Pending, Done, Failed };
    // Failed carries the reason in error (also when the service is gone).
    Outcome GetOutcome(uint64_t ticket, std::string& error);

    // The change counter: it differs from the last one seen when a value,
    // the allowed values or the camera changed. False when the service
    // cannot be reached.
    bool Changes(uint64_t& changes);

    // Sends one command and returns the reply's first line without "ok" in
    // data, the rest of the reply in body; false with error set for an
    // "error" reply or when the service cannot be reached.
    bool Request(const std::string& command, std::string& data, std::string& body,
                 std::string& error);

private:
    uint64_t Submit(const std::string& command, std::string& error);
    bool Wait(uint64_t ticket, std::string& error, int timeoutMs);

    std::string m_senderId;
};

#endif
